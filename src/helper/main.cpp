// OrvaneMacHelper: keeps a paired device checking in while the tray program is not running.
// It restores the session from the keychain, runs the scheduler while the device is paired and
// stops it when the device is unpaired. No window, no arguments, no exit of its own.
#include "Platform/Log.h"
#include "Platform/NetworkPathMonitor.h"
#include "Platform/PowerEvents.h"
#include "Services/ActivityReporter.h"
#include "helper/HelperRuntime.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Log::setProgramPrefix(QStringLiteral("[OrvaneHelper] "));
    return runHelper(
        app, HelperSources{
                 .config = HeartbeatScheduler::Config::defaults(),
                 .power = []() -> PowerEvents& { return PowerEvents::system(); },
                 .pathMonitor = [] { return NetworkPathMonitor::create(); },
                 .activity = []() -> ActivityReporter& { return ActivityReporter::shared(); },
             });
}
