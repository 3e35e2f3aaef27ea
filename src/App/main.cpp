// The menu-bar program's entry point.
#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    app.exec();
    return 0;
}
