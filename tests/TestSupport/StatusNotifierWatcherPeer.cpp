#include "TestSupport/StatusNotifierWatcherPeer.h"

#include "TestSupport/RunOnThread.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QUuid>

/** The exported object: the watcher's interface, on the peer's thread. */
class SniWatcherObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit SniWatcherObject(StatusNotifierWatcherPeer* peer) : m_peer(peer) {}

    QStringList items() const { return m_peer->items(); }
    bool hostRegistered() const { return m_peer->hostRegistered(); }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service)
    {
        m_peer->addItem(service);
        Q_EMIT StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&)
    {
        m_peer->setHost();
        Q_EMIT StatusNotifierHostRegistered();
    }

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    StatusNotifierWatcherPeer* m_peer;
};

namespace {

const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

StatusNotifierWatcherPeer::StatusNotifierWatcherPeer(bool withHost) : m_withHost(withHost)
{
    m_thread.setObjectName(QStringLiteral("watcher"));
    m_context.moveToThread(&m_thread);
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

void StatusNotifierWatcherPeer::addItem(const QString& service)
{
    const QMutexLocker lock(&m_mutex);
    if (!m_items.contains(service))
        m_items.append(service);
}

void StatusNotifierWatcherPeer::setHost()
{
    const QMutexLocker lock(&m_mutex);
    m_withHost = true;
}

bool StatusNotifierWatcherPeer::start()
{
    stop();
    {
        const QMutexLocker lock(&m_mutex);
        m_items.clear();
    }
    bool started = false;
    runOnThreadAndWait(&m_context, [this, &started] {
        // A fresh connection each time: a watcher that comes back is a new peer on the bus.
        m_connectionName = QStringLiteral("watcher-%1-%2")
                               .arg(QUuid::createUuid().toString(QUuid::Id128))
                               .arg(++m_generation);
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
        m_object = new SniWatcherObject(this);
        started =
            bus.registerObject(watcherPath, m_object,
                               QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                   QDBusConnection::ExportAllProperties) &&
            bus.registerService(watcherService);
    });
    return started;
}

void StatusNotifierWatcherPeer::stop()
{
    runOnThreadAndWait(&m_context, [this] {
        if (!m_object)
            return;
        QDBusConnection bus(m_connectionName);
        bus.unregisterService(watcherService);
        bus.unregisterObject(watcherPath);
        // The object goes while its connection still lives: it watches the object's end.
        delete m_object;
        m_object = nullptr;
        QDBusConnection::disconnectFromBus(m_connectionName);
    });
}

bool StatusNotifierWatcherPeer::callItem(const QString& service, const QString& method, int x,
                                         int y)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/StatusNotifierItem"),
                                       QStringLiteral("org.kde.StatusNotifierItem"), method);
    call << x << y;
    // Sent, not awaited: the item answers on the test's own main loop.
    bool sent = false;
    runOnThreadAndWait(&m_context,
                       [&] { sent = m_object && QDBusConnection(m_connectionName).send(call); });
    return sent;
}

void StatusNotifierWatcherPeer::RegisterStatusNotifierHost(const QString& service)
{
    runOnThreadAndWait(&m_context, [&] {
        if (m_object)
            m_object->RegisterStatusNotifierHost(service);
    });
}

#include "StatusNotifierWatcherPeer.moc"
