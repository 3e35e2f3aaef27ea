#include "TrackingTcpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <unistd.h>

TrackingTcpServer::TrackingTcpServer(std::chrono::milliseconds idleTimeout, QObject* parent)
    : QTcpServer(parent), m_idleTimeout(idleTimeout)
{
}

void TrackingTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(static_cast<int>(descriptor));
        return;
    }
    ++m_accepted;

    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setTimerType(Qt::VeryCoarseTimer);
    idle->setInterval(m_idleTimeout);
    connect(idle, &QTimer::timeout, socket, &QAbstractSocket::disconnectFromHost);
    connect(socket, &QIODevice::readyRead, idle, qOverload<>(&QTimer::start));
    connect(socket, &QIODevice::bytesWritten, idle, qOverload<>(&QTimer::start));
    idle->start();

    addPendingConnection(socket);
}
