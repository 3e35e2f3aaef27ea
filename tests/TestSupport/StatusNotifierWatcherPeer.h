#pragma once

#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>

class SniWatcherObject;

/**
 * A StatusNotifierWatcher of the test's own: a separate peer on the session bus that owns
 * "org.kde.StatusNotifierWatcher", records the items that register and says whether a host is
 * registered. stop() gives the name up as a watcher that ends does. It answers on a thread of
 * its own, as another process would, so the program may wait for it on the main thread: its bus
 * connection and the object it exports are made, used and dropped on that thread. The operations
 * are called from the test's thread.
 */
class StatusNotifierWatcherPeer {
public:
    explicit StatusNotifierWatcherPeer(bool withHost = true);
    ~StatusNotifierWatcherPeer();
    StatusNotifierWatcherPeer(const StatusNotifierWatcherPeer&) = delete;
    StatusNotifierWatcherPeer& operator=(const StatusNotifierWatcherPeer&) = delete;

    /** Owns the name, as a new peer on the bus; false when that failed. */
    bool start();
    void stop();

    [[nodiscard]] QStringList items() const;
    [[nodiscard]] bool hostRegistered() const;

    /** Calls a method of a registered item as a host does on a click. */
    bool callItem(const QString& service, const QString& method, int x, int y);

    /** A host registers, as a panel that starts does. */
    void RegisterStatusNotifierHost(const QString& service);

private:
    friend class SniWatcherObject;
    void addItem(const QString& service);
    void setHost();

    QThread m_thread;
    QObject m_context; // lives on m_thread: the calls made there
    SniWatcherObject* m_object = nullptr;
    QString m_connectionName;
    int m_generation = 0;
    mutable QMutex m_mutex;
    QStringList m_items;
    bool m_withHost;
};
