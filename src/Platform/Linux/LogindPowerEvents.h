#pragma once

#include "Platform/PowerEvents.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>

/**
 * Sleep and wake from logind's PrepareForSleep signal: true is willSleep, false is didWake.
 * While awake it holds a delay lock on sleep, released once the willSleep handlers have run, so
 * that they run before the machine sleeps. Without a bus: no events, one log line.
 */
class LogindPowerEvents final : public PowerEvents {
    Q_OBJECT

public:
    explicit LogindPowerEvents(QDBusConnection bus, QObject* parent = nullptr);

private Q_SLOTS:
    void onPrepareForSleep(bool sleeping);

private:
    void takeDelayLock();

    QDBusConnection m_bus;
    QDBusUnixFileDescriptor m_delayLock;
    bool m_sleeping = false;
};
