// The helper's start-up with intervals of the test's choosing, for fault scenarios that need
// many ticks. Everything else is the helper's own: the shared client, the keychain, the
// system's power events and network path. A scripted frontmost application gives the activity
// cycle a usage report, and events queued at start give it batches to upload.
//   orvane-scaled-helper <heartbeat s> <policy s> <activity s> <events to queue>
#include "Models/ActivityEvent.h"
#include "Platform/Log.h"
#include "Platform/NetworkPathMonitor.h"
#include "Platform/PowerEvents.h"
#include "Services/ActivityReporter.h"
#include "TestSupport/ScriptedApplicationActivity.h"
#include "helper/HelperRuntime.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Log::setProgramPrefix(QStringLiteral("[OrvaneHelper] "));
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fputs("usage: orvane-scaled-helper <heartbeat> <policy> <activity> <events>\n",
                   stderr);
        return 2;
    }
    const HeartbeatScheduler::Config config{args[1].toDouble(), args[2].toDouble(),
                                            args[3].toDouble()};

    ScriptedApplicationActivity desktop;
    desktop.setFrontmost(
        RunningApplication{QStringLiteral("org.example.Editor"), QStringLiteral("Editor")});
    ActivityReporter reporter(desktop, Clock::system());
    const QUuid child = QUuid::fromString(QStringLiteral("6E5D4C3B-2A19-4807-9655-443322110099"));
    const int events = args[4].toInt();
    for (int i = 0; i < events; ++i)
        reporter.record(ActivityEvent::make(QStringLiteral("test"), child,
                                            QDateTime::currentDateTimeUtc(),
                                            {{QStringLiteral("n"), QString::number(i)}}));

    return runHelper(app, HelperSources{
                              .config = config,
                              .power = []() -> PowerEvents& { return PowerEvents::system(); },
                              .pathMonitor = [] { return NetworkPathMonitor::create(); },
                              .activity = [&reporter]() -> ActivityReporter& { return reporter; },
                          });
}
