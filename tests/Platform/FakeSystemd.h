#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QHash>
#include <QObject>
#include <QStringList>

/**
 * The part of systemd's manager that starts and stops units, on a bus of the test's own:
 * org.freedesktop.systemd1 at /org/freedesktop/systemd1. Each unit answers as scripted; a
 * unit without a script does not exist.
 */
class FakeSystemd : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Manager")
public:
    enum class Outcome {
        done,               // the job is queued, then removed with "done"
        failed,             // the job is queued, then removed with "failed"
        removedBeforeReply, // the job's removal goes out before the call's reply, with "done"
        pending,            // the job stays queued until completeJob; calls meanwhile share it
        authorisationRequired,
        accessDenied,
    };

    /** Registers the object and takes the service name on the bus. */
    explicit FakeSystemd(QDBusConnection bus);
    ~FakeSystemd() override;

    [[nodiscard]] bool isOnBus() const { return m_onBus; }
    void script(const QString& unit, Outcome outcome) { m_scripts.insert(unit, outcome); }
    /** Removes the unit's pending job with the result. */
    void completeJob(const QString& unit, const QString& result);
    /** Gives up the service name, as systemd does when it goes away. */
    void leaveBus();

    /** Every call received, as "Method arguments...". */
    QStringList calls;

public Q_SLOTS:
    QDBusObjectPath StartUnit(const QString& name, const QString& mode);
    QDBusObjectPath StopUnit(const QString& name, const QString& mode);
    void Subscribe();

Q_SIGNALS:
    void JobRemoved(uint id, const QDBusObjectPath& job, const QString& unit,
                    const QString& result);

private:
    QDBusObjectPath queueJob(const QString& method, const QString& name, const QString& mode);
    QDBusObjectPath newJob(uint& id);
    void removeJob(uint id, const QDBusObjectPath& job, const QString& unit, const QString& result);

    QDBusConnection m_bus;
    bool m_onBus = false;
    bool m_subscribed = false;
    uint m_nextJob = 100;
    QHash<QString, Outcome> m_scripts;
    QHash<QString, std::pair<uint, QDBusObjectPath>> m_pending; // unit -> job
};
