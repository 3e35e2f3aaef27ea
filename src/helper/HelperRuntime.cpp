#include "helper/HelperRuntime.h"

#include "Platform/BundleInfo.h"
#include "Platform/Log.h"
#include "Platform/NetworkPathMonitor.h"
#include "Platform/PowerEvents.h"
#include "Services/ActivityReporter.h"
#include "Services/ApiClient.h"
#include "Services/AuthStore.h"
#include "Services/KeychainStore.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <any>
#include <vector>

namespace {

/** Keeps the helper's subscriptions alive for the life of the program. */
struct HelperRetainer {
    std::vector<std::any> bag;

    static HelperRetainer& shared()
    {
        static HelperRetainer retainer;
        return retainer;
    }
};

void log(const QString& text)
{
    Log::plain(QStringLiteral("[OrvaneHelper] ") + text);
}

} // namespace

int runHelper(QCoreApplication& app, HelperSources sources)
{
    Q_ASSERT(QThread::currentThread() == app.thread());

    const BundleInfo& bundle = BundleInfo::main();
    log(QStringLiteral("starting \u2014 bundle=%1")
            .arg(bundle.text("CFBundleIdentifier").value_or(QStringLiteral("unknown"))));

    ApiClient& api = ApiClient::shared();
    KeychainStore& keychain = KeychainStore::shared();
    AuthStore auth(api, keychain);

    ActivityReporter& activity = sources.activity();
    HeartbeatScheduler scheduler(api, auth, activity, sources.config, sources.power(),
                                 sources.pathMonitor());

    // The delayed check: by then the restore queued above has normally finished.
    QTimer::singleShot(std::chrono::seconds(1), &app, [&auth, &scheduler] {
        if (auth.enrolled().get()) {
            scheduler.start();
            const auto deviceId = auth.deviceId().get();
            log(QStringLiteral("scheduler started for device=%1")
                    .arg(deviceId ? deviceId->toString(QUuid::WithoutBraces).toUpper()
                                  : QStringLiteral("unknown")));
        } else {
            log(QStringLiteral("no device session \u2014 idle until paired"));
        }
    });

    // The follow-up rule decides on the delivered value and on isRunning when its task runs.
    auto subscription =
        std::make_shared<Subscription>(auth.enrolled().subscribe([&app, &scheduler](bool enrolled) {
            QTimer::singleShot(0, &app, [&scheduler, enrolled] {
                if (enrolled && !scheduler.isRunning().get()) {
                    scheduler.start();
                    log(QStringLiteral("scheduler started after live pair"));
                } else if (!enrolled && scheduler.isRunning().get()) {
                    scheduler.stop();
                    log(QStringLiteral("scheduler stopped after unpair"));
                }
            });
        }));
    HelperRetainer::shared().bag.emplace_back(subscription);

    return app.exec();
}
