#include "FakeSystemd.h"

#include <QDBusMessage>
#include <QTimer>

namespace {

const QString service = QStringLiteral("org.freedesktop.systemd1");
const QString path = QStringLiteral("/org/freedesktop/systemd1");

} // namespace

FakeSystemd::FakeSystemd(QDBusConnection bus) : m_bus(std::move(bus))
{
    m_onBus =
        m_bus.registerObject(path, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
        m_bus.registerService(service);
}

FakeSystemd::~FakeSystemd()
{
    leaveBus();
    m_bus.unregisterObject(path);
}

void FakeSystemd::leaveBus()
{
    if (m_onBus)
        m_bus.unregisterService(service);
    m_onBus = false;
}

void FakeSystemd::completeJob(const QString& unit, const QString& result)
{
    const auto job = m_pending.take(unit);
    removeJob(job.first, job.second, unit, result);
}

void FakeSystemd::Subscribe()
{
    calls << QStringLiteral("Subscribe");
    m_subscribed = true;
}

void FakeSystemd::removeJob(uint id, const QDBusObjectPath& job, const QString& unit,
                            const QString& result)
{
    // Like systemd, no signals until some client has subscribed.
    if (m_subscribed)
        Q_EMIT JobRemoved(id, job, unit, result);
}

QDBusObjectPath FakeSystemd::StartUnit(const QString& name, const QString& mode)
{
    return queueJob(QStringLiteral("StartUnit"), name, mode);
}

QDBusObjectPath FakeSystemd::StopUnit(const QString& name, const QString& mode)
{
    return queueJob(QStringLiteral("StopUnit"), name, mode);
}

QDBusObjectPath FakeSystemd::newJob(uint& id)
{
    id = m_nextJob++;
    return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/%1").arg(id));
}

QDBusObjectPath FakeSystemd::queueJob(const QString& method, const QString& name,
                                      const QString& mode)
{
    calls << QStringLiteral("%1 %2 %3").arg(method, name, mode);
    if (!m_scripts.contains(name)) {
        sendErrorReply(QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"),
                       QStringLiteral("Unit %1 not found.").arg(name));
        return {};
    }

    uint id = 0;
    switch (m_scripts.value(name)) {
    case Outcome::authorisationRequired:
        sendErrorReply(
            QStringLiteral("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"),
            QStringLiteral("Interactive authentication required."));
        return {};
    case Outcome::accessDenied:
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Access denied"));
        return {};
    case Outcome::pending:
        if (!m_pending.contains(name)) {
            const auto job = newJob(id);
            m_pending.insert(name, {id, job});
        }
        return m_pending.value(name).second;
    case Outcome::removedBeforeReply: {
        const auto job = newJob(id);
        setDelayedReply(true);
        const QDBusMessage reply = message().createReply(QVariant::fromValue(job));
        removeJob(id, job, name, QStringLiteral("done"));
        m_bus.send(reply);
        return {};
    }
    case Outcome::done:
    case Outcome::failed: {
        const auto job = newJob(id);
        const QString result = m_scripts.value(name) == Outcome::done ? QStringLiteral("done")
                                                                      : QStringLiteral("failed");
        // After the reply, as systemd does; another client's job ends first.
        QTimer::singleShot(0, this, [this, id, job, name, result] {
            uint otherId = 0;
            const auto other = newJob(otherId);
            removeJob(otherId, other, QStringLiteral("other.service"), QStringLiteral("failed"));
            removeJob(id, job, name, result);
        });
        return job;
    }
    }
    return {};
}
