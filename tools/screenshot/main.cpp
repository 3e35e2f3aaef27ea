// orvane-screenshot FILE.png [X Y WIDTH HEIGHT]: the X screen (or a part of it) as a PNG.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 && args.size() != 6) {
        std::fprintf(stderr, "usage: orvane-screenshot FILE.png [X Y WIDTH HEIGHT]\n");
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap shot = args.size() == 6
                             ? screen->grabWindow(0, args[2].toInt(), args[3].toInt(),
                                                  args[4].toInt(), args[5].toInt())
                             : screen->grabWindow(0);
    if (shot.isNull() || !shot.save(args[1], "PNG")) {
        std::fprintf(stderr, "orvane-screenshot: could not write %s\n", qPrintable(args[1]));
        return 1;
    }
    return 0;
}
