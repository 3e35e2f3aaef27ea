#pragma once

#include "Models/ApiError.h"
#include "Models/HeartbeatRequest.h"
#include "Models/Policy.h"
#include "Platform/BundleInfo.h"
#include "Platform/NetworkPathMonitor.h"
#include "Support/Clock.h"
#include "Support/EventStream.h"
#include "Support/Observable.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

class ActivityReporter;
class ApiClient;
class AuthStore;
class PowerEvents;
class QTimer;

/**
 * Keeps a paired device in touch with the service: three repeating timers drive the heartbeat,
 * policy and activity cycles; sleep stops it, wake restarts it and checks in at once; an HTTP
 * 401 on any request stops it and unpairs the session, unless the refused token is no longer
 * the client's (renewed while the request was under way) or the keychain holds another one
 * (renewed by the other program), which it takes over instead. Lives on the main thread;
 * every timer, the path monitor and the power events deliver there.
 */
class HeartbeatScheduler : public QObject {
    Q_OBJECT
public:
    /** The three intervals in seconds; used in whole seconds, each finite and at least 1. */
    struct Config {
        double heartbeatInterval = 60;
        double policyPollInterval = 30;
        double activityFlushInterval = 120;

        /** 60, 30 and 120 seconds. */
        static Config defaults() { return {}; }
    };

    /**
     * Sleep/wake and the network path are followed from construction on. Throws
     * std::invalid_argument for an interval that is not finite, is below one second, or is
     * 2^31 milliseconds or more in whole seconds.
     * api, auth, activity, power, clock and bundle must outlive the scheduler.
     */
    HeartbeatScheduler(ApiClient& api, AuthStore& auth, ActivityReporter& activity, Config config,
                       PowerEvents& power, std::unique_ptr<NetworkPathMonitor> pathMonitor,
                       const Clock& clock = Clock::system(),
                       const BundleInfo& bundle = BundleInfo::main(), QObject* parent = nullptr);
    ~HeartbeatScheduler() override;

    [[nodiscard]] const Observable<bool>& isRunning() const { return m_isRunning; }
    [[nodiscard]] const Observable<std::optional<QDateTime>>& lastHeartbeatAt() const
    {
        return m_lastHeartbeatAt;
    }
    [[nodiscard]] const Observable<std::optional<QDateTime>>& lastPolicyPullAt() const
    {
        return m_lastPolicyPullAt;
    }
    [[nodiscard]] const Observable<std::optional<Policy>>& latestPolicy() const
    {
        return m_latestPolicy;
    }
    [[nodiscard]] const Observable<std::optional<ApiError>>& lastError() const
    {
        return m_lastError;
    }
    /** Emits every successfully fetched policy, after latestPolicy holds it. */
    [[nodiscard]] EventStream<Policy>& policyPublisher() { return m_policyPublisher; }
    [[nodiscard]] const Config& config() const { return m_config; }
    /** The network type the next heartbeat carries. */
    [[nodiscard]] const QString& currentNetworkLabel() const { return m_currentNetworkLabel; }

    /** Starts usage tracking and the three timers; does nothing while running. */
    void start();
    /** Stops usage tracking and the timers; cycles under way finish. */
    void stop();
    /** Sends one heartbeat now without touching the timers. */
    void kick();

    /** The label a path gives: "wifi", "ethernet", "cellular", "unknown" or "offline". */
    static QString networkLabel(const NetworkPath& path);

private:
    QTimer* scheduleTimer(double interval, QCoro::Task<> (HeartbeatScheduler::*cycle)());
    QCoro::Task<> sendHeartbeat();
    QCoro::Task<> pullPolicy();
    QCoro::Task<> flushActivity();
    [[nodiscard]] HeartbeatRequest buildHeartbeat() const;
    /** Records a heartbeat or policy failure; a 401 goes on to handleUnauthorized. */
    QCoro::Task<> handleFailure(ApiError error, std::optional<QString> sentToken);
    /**
     * A 401 for a request that carried sentToken: ignored when the client has replaced that
     * token since; takes over a different token saved in the keychain meanwhile; or else
     * stops and unpairs.
     */
    QCoro::Task<> handleUnauthorized(std::optional<QString> sentToken);
    void wireSleepWakeObservers();
    void startPathMonitor();

    Observable<bool> m_isRunning{false};
    Observable<std::optional<QDateTime>> m_lastHeartbeatAt;
    Observable<std::optional<QDateTime>> m_lastPolicyPullAt;
    Observable<std::optional<Policy>> m_latestPolicy;
    Observable<std::optional<ApiError>> m_lastError;
    EventStream<Policy> m_policyPublisher;

    ApiClient& m_api;
    AuthStore& m_auth;
    ActivityReporter& m_activity;
    const Config m_config;
    PowerEvents& m_power;
    const Clock& m_clock;
    const BundleInfo& m_bundle;

    QPointer<QTimer> m_heartbeatTimer;
    QPointer<QTimer> m_policyTimer;
    QPointer<QTimer> m_activityTimer;
    QMetaObject::Connection m_sleepObserver;
    QMetaObject::Connection m_wakeObserver;
    std::unique_ptr<NetworkPathMonitor> m_pathMonitor;
    QString m_currentNetworkLabel = QStringLiteral("unknown");
};
