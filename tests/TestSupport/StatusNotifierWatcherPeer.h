#pragma once

#include <QDBusConnection>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>

/**
 * A StatusNotifierWatcher of the test's own: a separate peer on the session bus that owns
 * "org.kde.StatusNotifierWatcher", records the items that register and says whether a host is
 * registered. stop() gives the name up as a watcher that ends does. It answers on a thread of
 * its own, as another process would, so the program may wait for it on the main thread. The
 * operations are called from the test's thread.
 */
class StatusNotifierWatcherPeer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit StatusNotifierWatcherPeer(bool withHost = true, QObject* parent = nullptr);
    ~StatusNotifierWatcherPeer() override;

    /** Owns the name; false when that failed. */
    bool start();
    void stop();

    [[nodiscard]] QStringList items() const;
    [[nodiscard]] bool hostRegistered() const;
    [[nodiscard]] int protocolVersion() const { return 0; }

    /** Calls a method of a registered item as a host does on a click. */
    bool callItem(const QString& service, const QString& method, int x, int y);

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service);
    void RegisterStatusNotifierHost(const QString& service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    QString m_connectionName;
    QDBusConnection m_bus;
    QThread m_thread;
    mutable QMutex m_mutex;
    QStringList m_items;
    bool m_withHost;
};
