#include "TestSupport/StatusNotifierWatcherPeer.h"

#include <QDBusMessage>
#include <QUuid>

StatusNotifierWatcherPeer::StatusNotifierWatcherPeer(bool withHost, QObject* parent)
    : QObject(parent),
      m_connectionName(QStringLiteral("watcher-") + QUuid::createUuid().toString(QUuid::Id128)),
      m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName)),
      m_withHost(withHost)
{
    m_thread.setObjectName(QStringLiteral("watcher"));
    moveToThread(&m_thread);
    m_thread.start();
}

StatusNotifierWatcherPeer::~StatusNotifierWatcherPeer()
{
    stop();
    m_thread.quit();
    m_thread.wait();
}

QStringList StatusNotifierWatcherPeer::items() const
{
    const QMutexLocker lock(&m_mutex);
    return m_items;
}

bool StatusNotifierWatcherPeer::hostRegistered() const
{
    const QMutexLocker lock(&m_mutex);
    return m_withHost;
}

bool StatusNotifierWatcherPeer::start()
{
    // A fresh connection each time: a watcher that comes back is a new peer on the bus.
    if (!m_bus.isConnected())
        m_bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
    {
        const QMutexLocker lock(&m_mutex);
        m_items.clear();
    }
    return m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                QDBusConnection::ExportAllSlots |
                                    QDBusConnection::ExportAllSignals |
                                    QDBusConnection::ExportAllProperties) &&
           m_bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

void StatusNotifierWatcherPeer::stop()
{
    if (!m_bus.isConnected())
        return;
    m_bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    m_bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_bus = QDBusConnection(m_connectionName);
}

bool StatusNotifierWatcherPeer::callItem(const QString& service, const QString& method, int x,
                                         int y)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                       QStringLiteral("org.kde.StatusNotifierItem"), method);
    call << x << y;
    // Asynchronous: the item answers on the test's own main loop.
    return m_bus.send(call);
}

void StatusNotifierWatcherPeer::RegisterStatusNotifierItem(const QString& service)
{
    {
        const QMutexLocker lock(&m_mutex);
        if (!m_items.contains(service))
            m_items.append(service);
    }
    Q_EMIT StatusNotifierItemRegistered(service);
}

void StatusNotifierWatcherPeer::RegisterStatusNotifierHost(const QString&)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_withHost = true;
    }
    Q_EMIT StatusNotifierHostRegistered();
}
