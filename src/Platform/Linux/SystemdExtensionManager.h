#pragma once

#include "Platform/SystemExtensionManager.h"

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>

class QDBusError;
class QDBusMessage;
class QDBusPendingCallWatcher;

/**
 * System extensions as systemd units on the given bus: the extension "x" is the unit
 * "x.service"; activation starts it, deactivation stops it. A request ends when systemd
 * removes its job ("done" finishes with result 0, any other result fails), when the call is
 * refused (interactive authorisation needed: user approval; anything else: failure), or when
 * systemd leaves the bus. Lives on the main thread; never asks the replacement question.
 */
class SystemdExtensionManager : public QObject, public SystemExtensionManager {
    Q_OBJECT
public:
    explicit SystemdExtensionManager(QDBusConnection bus, QObject* parent = nullptr);

    void submitRequest(RequestKind kind, const QString& identifier,
                       std::shared_ptr<SystemExtensionRequestDelegate> delegate) override;

    /** The unit that stands for the extension. */
    static QString unitName(const QString& identifier);

private Q_SLOTS:
    void onJobRemoved(const QDBusMessage& signal);

private:
    struct Request {
        QString unit;
        std::shared_ptr<SystemExtensionRequestDelegate> delegate;
    };

    bool subscribe();
    void onJobQueued(QDBusPendingCallWatcher* watcher, const Request& request);
    void finish(const Request& request, const QString& result);
    void failWaitingJobs(const QString& error);
    static void fail(const Request& request, const QDBusError& error);

    QDBusConnection m_bus;
    bool m_watchingJobs = false;
    bool m_subscribed = false;
    // Requests whose job systemd has queued, by job path; a second request for a unit with a
    // pending job gets the same job back, so one job may answer several requests.
    QHash<QString, QList<Request>> m_jobs;
    // Jobs removed while some start or stop call was still unanswered, so a removal that
    // overtakes its call's reply is not lost. Kept only while calls are unanswered.
    QHash<QString, QString> m_removedEarly;
    int m_unansweredCalls = 0;
};
