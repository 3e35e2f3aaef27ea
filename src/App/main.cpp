// The menu-bar program: the tray item with its panel, over the shared core. One per session: a
// second start shows the running program's panel and ends.
#include "App/ApplicationInstance.h"
#include "App/OrvaneMacApp.h"
#include "Platform/Log.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    Log::setProgramPrefix(QStringLiteral("[Orvane] "));
    // The window's app id on Wayland and its class on X11 (StartupWMClass) name the desktop
    // entry, whatever the executable is called.
    QCoreApplication::setApplicationName(QStringLiteral("OrvaneMac"));
    QGuiApplication::setDesktopFileName(QStringLiteral("ai.orvane.mac"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Orvane"));

    ApplicationInstance instance;
    if (instance.claim() == ApplicationInstance::Role::secondary) {
        if (instance.activateRunning())
            return 0;
        // Its owner does not answer; a second scheduler is still not wanted.
        Log::plain(QStringLiteral("Another instance runs in this session but does not "
                                  "answer"));
        return 1;
    }
    OrvaneMacApp orvane;
    QObject::connect(&instance, &ApplicationInstance::activated, &orvane, &OrvaneMacApp::showPanel);
    application.exec();
    return 0;
}
