#pragma once

#include <QDBusConnection>
#include <QString>

#include <optional>

/**
 * A session-bus connection of a backend's own, not the process's shared one: the names it owns,
 * the objects it exports and the signals it listens to end with it. Made and used on one thread.
 */
class PrivateSessionBus {
public:
    /**
     * Connects; when no session bus answers, logs that tracking on desktop is unavailable and
     * isConnected() is false.
     */
    PrivateSessionBus(const QString& connectionName, const QString& desktop);
    /** Disconnects. */
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    [[nodiscard]] bool isConnected() const { return m_connection.has_value(); }
    /** Only while connected. */
    QDBusConnection& connection() { return *m_connection; }

private:
    QString m_name;
    std::optional<QDBusConnection> m_connection;
};
