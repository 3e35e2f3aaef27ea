// The menu-bar program: the tray item with its panel, over the shared core.
#include "App/OrvaneMacApp.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    OrvaneMacApp orvane;
    application.exec();
    return 0;
}
