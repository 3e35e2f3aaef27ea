#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <vector>

/** logind's part: owns its name on the bus, hands out delay locks, sends PrepareForSleep. */
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    static inline const QString service = QStringLiteral("org.freedesktop.login1");
    static inline const QString path = QStringLiteral("/org/freedesktop/login1");
    static inline const QString interface = QStringLiteral("org.freedesktop.login1.Manager");

    /** Connects to the bus at address and takes logind's name there. */
    explicit FakeLogind(const QString& address)
        : m_bus(QDBusConnection::connectToBus(address, QStringLiteral("fake-logind")))
    {
        m_registered = m_bus.registerObject(path, this, QDBusConnection::ExportAllSlots) &&
                       m_bus.registerService(service);
    }

    ~FakeLogind() override
    {
        m_bus.unregisterService(service);
        m_bus.unregisterObject(path);
        for (const int fd : m_lockReadEnds)
            ::close(fd);
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
    }

    [[nodiscard]] bool isRegistered() const { return m_registered; }
    [[nodiscard]] int locksHandedOut() const { return static_cast<int>(m_lockReadEnds.size()); }
    [[nodiscard]] const QStringList& lastInhibitArguments() const { return m_lastArguments; }

    /** Whether every copy of the lock handed out last has been closed. */
    [[nodiscard]] bool lastLockReleased() const
    {
        pollfd p{m_lockReadEnds.back(), POLLIN, 0};
        char byte = 0;
        return ::poll(&p, 1, 0) == 1 && ::read(p.fd, &byte, 1) == 0;
    }

    void sendPrepareForSleep(bool sleeping)
    {
        QDBusMessage signal =
            QDBusMessage::createSignal(path, interface, QStringLiteral("PrepareForSleep"));
        signal << sleeping;
        m_bus.send(signal);
    }

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        m_lastArguments = {what, who, why, mode};
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            return {};
        m_lockReadEnds.push_back(ends[0]);
        QDBusUnixFileDescriptor lock(ends[1]); // holds its own copy
        ::close(ends[1]);
        return lock;
    }

private:
    QDBusConnection m_bus;
    bool m_registered = false;
    std::vector<int> m_lockReadEnds;
    QStringList m_lastArguments;
};
