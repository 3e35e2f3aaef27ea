#include "Platform/Linux/LogindPowerEvents.h"

#include "Platform/Log.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <utility>

namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString path = QStringLiteral("/org/freedesktop/login1");
const QString interface = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

PowerEvents& PowerEvents::system()
{
    static PowerEvents* const instance = new LogindPowerEvents(QDBusConnection::systemBus());
    return *instance;
}

LogindPowerEvents::LogindPowerEvents(QDBusConnection bus, QObject* parent)
    : PowerEvents(parent), m_bus(std::move(bus))
{
    if (!m_bus.isConnected()) {
        Log::plain(QStringLiteral("Sleep and wake are not followed: no system bus (%1)")
                       .arg(m_bus.lastError().message()));
        return;
    }
    // Naming the service makes the bus deliver the signal only from logind's own connection.
    m_bus.connect(service, path, interface, QStringLiteral("PrepareForSleep"), this,
                  SLOT(onPrepareForSleep(bool)));
    takeDelayLock();
}

void LogindPowerEvents::onPrepareForSleep(bool sleeping)
{
    m_sleeping = sleeping;
    if (sleeping) {
        Q_EMIT willSleep();
        m_delayLock = QDBusUnixFileDescriptor(); // closing it lets the machine go on to sleep
    } else {
        Q_EMIT didWake();
        takeDelayLock();
    }
}

void LogindPowerEvents::takeDelayLock()
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Orvane")
         << QStringLiteral("Pause check-ins before sleep") << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                // Without a lock (no logind, or it refused) the events still come, only
                // without the wait before sleep.
                // A lock granted only after the machine began to sleep is given back at once.
                if (reply.isValid() && !m_sleeping)
                    m_delayLock = reply.value();
                finished->deleteLater();
            });
}
