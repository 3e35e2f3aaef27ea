#pragma once

#include <QTcpServer>

#include <chrono>

/**
 * A TCP server that counts the connections it accepts and closes a connection once nothing has
 * been read from or written to it for the idle timeout. Qt's HTTP server keeps HTTP/1.1
 * connections open for ever on its own.
 */
class TrackingTcpServer final : public QTcpServer {
    Q_OBJECT

public:
    explicit TrackingTcpServer(std::chrono::milliseconds idleTimeout, QObject* parent = nullptr);

    [[nodiscard]] qint64 connectionsAccepted() const { return m_accepted; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    std::chrono::milliseconds m_idleTimeout;
    qint64 m_accepted = 0;
};
