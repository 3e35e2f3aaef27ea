#include "Platform/Linux/PrivateSessionBus.h"

#include "Platform/Log.h"

PrivateSessionBus::PrivateSessionBus(const QString& connectionName, const QString& desktop)
    : m_name(connectionName)
{
    QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_name);
    if (connection.isConnected())
        m_connection.emplace(std::move(connection));
    else
        Log::plain(QStringLiteral("Foreground application tracking is unavailable: no session "
                                  "bus to reach %1")
                       .arg(desktop));
}

PrivateSessionBus::~PrivateSessionBus()
{
    // The last reference goes before the connection is closed.
    m_connection.reset();
    QDBusConnection::disconnectFromBus(m_name);
}
