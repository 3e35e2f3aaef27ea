// The menu-bar program: the tray item with its panel, over the shared core.
#include "App/OrvaneMacApp.h"
#include "Platform/Log.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    Log::setProgramPrefix(QStringLiteral("[Orvane] "));
    OrvaneMacApp orvane;
    application.exec();
    return 0;
}
