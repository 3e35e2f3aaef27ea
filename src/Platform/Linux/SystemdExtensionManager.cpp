#include "Platform/Linux/SystemdExtensionManager.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QMetaObject>

namespace {

const QString service = QStringLiteral("org.freedesktop.systemd1");
const QString managerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString managerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");

// Refusals that an administrator can lift by authorising the change. A plain AccessDenied
// means polkit will not allow it at all, which no approval changes: that is a failure.
bool needsAuthorisation(const QDBusError& error)
{
    return error.name() ==
           QLatin1String("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired");
}

bool alreadySubscribed(const QDBusError& error)
{
    return error.name() == QLatin1String("org.freedesktop.systemd1.AlreadySubscribed");
}

QString describe(const QDBusError& error)
{
    if (error.message().isEmpty())
        return error.name();
    if (error.name().isEmpty())
        return error.message();
    return QStringLiteral("%1 (%2)").arg(error.message(), error.name());
}

} // namespace

SystemdExtensionManager::SystemdExtensionManager(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    auto* watcher =
        new QDBusServiceWatcher(service, m_bus, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        // Its jobs will never be reported removed, and a new instance needs a new Subscribe.
        m_subscribed = false;
        failWaitingJobs(QStringLiteral("%1 left the bus before the job ended").arg(service));
    });
}

QString SystemdExtensionManager::unitName(const QString& identifier)
{
    return identifier + QStringLiteral(".service");
}

void SystemdExtensionManager::submitRequest(
    RequestKind kind, const QString& identifier,
    std::shared_ptr<SystemExtensionRequestDelegate> delegate)
{
    if (!delegate)
        return;
    const Request request{unitName(identifier), std::move(delegate)};

    if (!m_bus.isConnected() || !subscribe()) {
        QDBusError error = m_bus.lastError();
        if (!error.isValid())
            error = QDBusError(QDBusError::Disconnected, QStringLiteral("Not connected to D-Bus"));
        QMetaObject::invokeMethod(
            this, [request, error] { fail(request, error); }, Qt::QueuedConnection);
        return;
    }

    auto call = QDBusMessage::createMethodCall(
        service, managerPath, managerInterface,
        kind == RequestKind::activation ? QStringLiteral("StartUnit") : QStringLiteral("StopUnit"));
    call << request.unit << QStringLiteral("replace");
    // No password prompt: the refusal comes back as InteractiveAuthorizationRequired.
    call.setInteractiveAuthorizationAllowed(false);

    ++m_unansweredCalls;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request](QDBusPendingCallWatcher* w) { onJobQueued(w, request); });
}

bool SystemdExtensionManager::subscribe()
{
    // The signal match goes out before the calls that follow on this connection, so no
    // removal of a job queued afterwards is missed.
    if (!m_watchingJobs) {
        m_watchingJobs =
            m_bus.connect(service, managerPath, managerInterface, QStringLiteral("JobRemoved"),
                          this, SLOT(onJobRemoved(QDBusMessage)));
        if (!m_watchingJobs)
            return false;
    }
    if (!m_subscribed) {
        // systemd sends its signals only once some client has subscribed.
        m_subscribed = true;
        const auto call = QDBusMessage::createMethodCall(service, managerPath, managerInterface,
                                                         QStringLiteral("Subscribe"));
        auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    // Otherwise the next request tries again.
                    if (w->isError() && !alreadySubscribed(w->error()))
                        m_subscribed = false;
                });
    }
    return true;
}

void SystemdExtensionManager::onJobQueued(QDBusPendingCallWatcher* watcher, const Request& request)
{
    watcher->deleteLater();
    const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
    --m_unansweredCalls;

    if (reply.isError()) {
        if (m_unansweredCalls == 0)
            m_removedEarly.clear();
        if (needsAuthorisation(reply.error()))
            request.delegate->requestNeedsUserApproval();
        else
            fail(request, reply.error());
        return;
    }

    const QString job = reply.value().path();
    const auto early = m_removedEarly.constFind(job);
    if (early != m_removedEarly.constEnd()) {
        const QString result = *early;
        m_removedEarly.erase(early);
        if (m_unansweredCalls == 0)
            m_removedEarly.clear();
        finish(request, result);
        return;
    }
    if (m_unansweredCalls == 0)
        m_removedEarly.clear();
    m_jobs[job].append(request);
}

void SystemdExtensionManager::onJobRemoved(const QDBusMessage& signal)
{
    const QList<QVariant> args = signal.arguments();
    if (args.size() < 4 || !args[1].canConvert<QDBusObjectPath>())
        return;
    const QString job = args[1].value<QDBusObjectPath>().path();
    const QString result = args[3].toString();

    const auto it = m_jobs.find(job);
    if (it == m_jobs.end()) {
        if (m_unansweredCalls > 0)
            m_removedEarly.insert(job, result);
        return;
    }
    const QList<Request> requests = std::move(*it);
    m_jobs.erase(it);
    for (const auto& request : requests)
        finish(request, result);
}

void SystemdExtensionManager::finish(const Request& request, const QString& result)
{
    if (result == QLatin1String("done")) {
        request.delegate->didFinishWithResult(0);
        return;
    }
    request.delegate->didFailWithError(
        QStringLiteral("The job for %1 ended with result \"%2\"").arg(request.unit, result));
}

void SystemdExtensionManager::failWaitingJobs(const QString& error)
{
    const auto jobs = std::exchange(m_jobs, {});
    for (const auto& requests : jobs)
        for (const auto& request : requests)
            request.delegate->didFailWithError(error);
}

void SystemdExtensionManager::fail(const Request& request, const QDBusError& error)
{
    request.delegate->didFailWithError(describe(error));
}

SystemExtensionManager& SystemExtensionManager::system()
{
    static auto* const manager = new SystemdExtensionManager(QDBusConnection::systemBus());
    return *manager;
}
