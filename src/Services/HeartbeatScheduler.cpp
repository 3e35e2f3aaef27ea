#include "Services/HeartbeatScheduler.h"

#include "Platform/PowerEvents.h"
#include "Services/ActivityReporter.h"
#include "Services/ApiClient.h"
#include "Services/AuthStore.h"

#include <QTimer>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

/** The longest interval in whole seconds whose milliseconds fit a timer's int. */
constexpr double maxIntervalSeconds = std::numeric_limits<int>::max() / 1000;

HeartbeatScheduler::Config validated(const HeartbeatScheduler::Config& config)
{
    const auto check = [](double seconds, const char* name) {
        // A fraction below one second would truncate to a zero interval: a busy timer. Whole
        // seconds of 2^31 ms or more do not fit the timer's milliseconds and would wrap.
        if (!std::isfinite(seconds) || seconds < 1.0 || seconds >= maxIntervalSeconds + 1)
            throw std::invalid_argument(std::string("HeartbeatScheduler: ") + name +
                                        " must be a finite number of seconds, at least 1 and"
                                        " at most " + std::to_string(int(maxIntervalSeconds)) +
                                        " in whole seconds");
    };
    check(config.heartbeatInterval, "heartbeatInterval");
    check(config.policyPollInterval, "policyPollInterval");
    check(config.activityFlushInterval, "activityFlushInterval");
    return config;
}

/** How a call ended: its result, or the error it threw as an ApiError. */
template <typename T> struct Outcome {
    std::optional<T> value;
    std::optional<ApiError> failure;
};
template <> struct Outcome<void> {
    std::optional<ApiError> failure;
};

/** Awaits the call; any error other than an ApiError becomes unexpected with its description. */
template <typename T> QCoro::Task<Outcome<T>> outcomeOf(QCoro::Task<T> call)
{
    Outcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>)
            co_await std::move(call);
        else
            outcome.value = co_await std::move(call);
    } catch (const ApiError& e) {
        outcome.failure = e;
    } catch (const std::exception& e) {
        outcome.failure = ApiError::unexpected(QString::fromUtf8(e.what()));
    } catch (...) {
        outcome.failure = ApiError::unexpected(QStringLiteral("unknown error"));
    }
    co_return outcome;
}

} // namespace

HeartbeatScheduler::HeartbeatScheduler(ApiClient& api, AuthStore& auth, ActivityReporter& activity,
                                       Config config, PowerEvents& power,
                                       std::unique_ptr<NetworkPathMonitor> pathMonitor,
                                       const Clock& clock, const BundleInfo& bundle,
                                       QObject* parent)
    : QObject(parent), m_api(api), m_auth(auth), m_activity(activity), m_config(validated(config)),
      m_power(power), m_clock(clock), m_bundle(bundle), m_pathMonitor(std::move(pathMonitor))
{
    wireSleepWakeObservers();
    startPathMonitor();
}

HeartbeatScheduler::~HeartbeatScheduler()
{
    disconnect(m_sleepObserver);
    disconnect(m_wakeObserver);
    if (m_pathMonitor)
        m_pathMonitor->cancel();
}

void HeartbeatScheduler::start()
{
    if (m_isRunning.get())
        return;
    m_isRunning.set(true);
    m_activity.startUsageTracking();
    m_heartbeatTimer =
        scheduleTimer(m_config.heartbeatInterval, &HeartbeatScheduler::sendHeartbeat);
    m_policyTimer = scheduleTimer(m_config.policyPollInterval, &HeartbeatScheduler::pullPolicy);
    m_activityTimer =
        scheduleTimer(m_config.activityFlushInterval, &HeartbeatScheduler::flushActivity);
}

void HeartbeatScheduler::stop()
{
    m_isRunning.set(false);
    m_activity.stopUsageTracking();
    for (QPointer<QTimer>* timer : {&m_heartbeatTimer, &m_policyTimer, &m_activityTimer}) {
        if (*timer) {
            (*timer)->stop();
            (*timer)->deleteLater();
        }
        *timer = nullptr;
    }
}

void HeartbeatScheduler::kick()
{
    QTimer::singleShot(0, this, [this] { sendHeartbeat(); });
}

QTimer* HeartbeatScheduler::scheduleTimer(double interval,
                                          QCoro::Task<> (HeartbeatScheduler::*cycle)())
{
    // A precise timer never fires before its deadline (a coarse one may, by up to a second) and
    // keeps its period from the start instant, so the three timers, started together with
    // intervals that divide each other, fall due together and share one wake-up.
    const auto seconds = static_cast<qint64>(std::trunc(interval));
    auto* timer = new QTimer(this); // a child: no tick reaches a destroyed scheduler
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(std::chrono::seconds(seconds));
    connect(timer, &QTimer::timeout, this, [this, cycle] { (this->*cycle)(); });
    timer->start();
    return timer;
}

QCoro::Task<> HeartbeatScheduler::sendHeartbeat()
{
    if (!m_auth.enrolled().get())
        co_return;
    QPointer<HeartbeatScheduler> self(this);
    const std::optional<QString> sentToken = m_api.accessToken();
    auto call = outcomeOf(m_api.heartbeat(buildHeartbeat()));
    const auto outcome = co_await std::move(call);
    if (!self)
        co_return;
    if (outcome.failure) {
        co_await handleFailure(*outcome.failure, sentToken);
        co_return;
    }
    m_lastHeartbeatAt.set(m_clock.now());
    m_lastError.set(std::nullopt);
    // A renewed token a locked or absent keychain could not take is saved once it can.
    m_auth.saveUnsavedToken();
}

QCoro::Task<> HeartbeatScheduler::pullPolicy()
{
    if (!m_auth.enrolled().get())
        co_return;
    QPointer<HeartbeatScheduler> self(this);
    const std::optional<QString> sentToken = m_api.accessToken();
    auto call = outcomeOf(m_api.fetchPolicy());
    const auto outcome = co_await std::move(call);
    if (!self)
        co_return;
    if (outcome.failure) {
        co_await handleFailure(*outcome.failure, sentToken);
        co_return;
    }
    m_lastPolicyPullAt.set(m_clock.now());
    m_latestPolicy.set(outcome.value);
    m_lastError.set(std::nullopt);
    m_policyPublisher.emit(*outcome.value);
}

QCoro::Task<> HeartbeatScheduler::flushActivity()
{
    if (!m_auth.enrolled().get())
        co_return;
    QPointer<HeartbeatScheduler> self(this);
    // The reporter outlives the scheduler: a failed batch goes back to it even when the
    // scheduler is destroyed during the upload, so it is reached without going through this.
    ActivityReporter& activity = m_activity;

    const QList<ActivityEvent> batch = activity.drain();
    if (!batch.isEmpty()) {
        const std::optional<QString> sentToken = m_api.accessToken();
        auto call = outcomeOf(m_api.reportActivity(batch));
        const auto outcome = co_await std::move(call);
        const auto& failure = outcome.failure;
        if (failure)
            activity.reinsert(batch);
        if (!self)
            co_return;
        if (failure && failure->isUnauthorized())
            co_await handleUnauthorized(sentToken);
        if (!self)
            co_return;
    }

    const std::optional<AppUsageReport> report = activity.usageReport();
    if (!report)
        co_return;
    const std::optional<QString> sentToken = m_api.accessToken();
    auto call = outcomeOf(m_api.reportAppUsage(*report));
    const auto outcome = co_await std::move(call);
    const auto& failure = outcome.failure;
    if (self && failure && failure->isUnauthorized())
        co_await handleUnauthorized(sentToken);
}

HeartbeatRequest HeartbeatScheduler::buildHeartbeat() const
{
    const QString appVersion =
        m_bundle.text("CFBundleShortVersionString").value_or(QStringLiteral("0.0.0"));
    return HeartbeatRequest::make(appVersion, std::nullopt, m_currentNetworkLabel);
}

QCoro::Task<> HeartbeatScheduler::handleFailure(ApiError error, std::optional<QString> sentToken)
{
    m_lastError.set(error);
    if (error.isUnauthorized())
        co_await handleUnauthorized(std::move(sentToken));
}

QCoro::Task<> HeartbeatScheduler::handleUnauthorized(std::optional<QString> sentToken)
{
    // A refusal of a token this program has replaced since (a renewal answered while the
    // request was under way) says nothing of the token in use: the next tick tells. The
    // keychain cannot tell here when it could not save the renewal (locked, or away).
    if (sentToken != m_api.accessToken())
        co_return;
    // The other program of this device may have saved a renewed token since the request was
    // built: the refusal is then of a token the device no longer uses, and no reason to unpair
    // both programs. The keychain is read only here, never on a successful cycle.
    if (m_auth.adoptSavedToken(sentToken))
        co_return;
    stop();
    co_await m_auth.unenroll();
}

void HeartbeatScheduler::wireSleepWakeObservers()
{
    m_sleepObserver = connect(&m_power, &PowerEvents::willSleep, this, [this] { stop(); });
    m_wakeObserver = connect(&m_power, &PowerEvents::didWake, this, [this] {
        start();
        kick();
    });
}

void HeartbeatScheduler::startPathMonitor()
{
    if (!m_pathMonitor)
        return;
    QPointer<HeartbeatScheduler> self(this);
    m_pathMonitor->start([self](const NetworkPath& path) {
        if (self)
            self->m_currentNetworkLabel = networkLabel(path);
    });
}

QString HeartbeatScheduler::networkLabel(const NetworkPath& path)
{
    if (!path.satisfied)
        return QStringLiteral("offline");
    if (path.usesWifi)
        return QStringLiteral("wifi");
    if (path.usesWiredEthernet)
        return QStringLiteral("ethernet");
    if (path.usesCellular)
        return QStringLiteral("cellular");
    return QStringLiteral("unknown");
}
