// A Wayland client with an app id and a desktop entry of the tests' own: one window per
// program, titled by its second argument. Usage: ActivityTestClient <desktop-file-id> <title>
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    QGuiApplication::setDesktopFileName(QString::fromUtf8(argv[1]));
    QLabel window(QString::fromUtf8(argv[2]));
    window.setWindowTitle(QString::fromUtf8(argv[2]));
    window.resize(320, 200);
    window.show();
    return app.exec();
}
