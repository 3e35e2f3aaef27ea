#pragma once

#include <QDBusConnection>
#include <QObject>

/**
 * One tray program per user session: the first instance owns the bus name "ai.orvane.mac" and
 * answers org.freedesktop.Application.Activate on "/ai/orvane/mac"; a later start finds the name
 * taken, asks the running instance to show its panel and ends. Main thread.
 */
class ApplicationInstance : public QObject {
    Q_OBJECT
public:
    static constexpr const char* serviceName = "ai.orvane.mac";
    static constexpr const char* objectPath = "/ai/orvane/mac";

    enum class Role {
        /** This process owns the name and runs the program. */
        primary,
        /** Another process owns the name. */
        secondary,
        /** No session bus: nothing to coordinate with, this process runs the program. */
        alone,
    };

    explicit ApplicationInstance(QDBusConnection bus = QDBusConnection::sessionBus(),
                                 QObject* parent = nullptr);
    ~ApplicationInstance() override;

    /** Claims the name; decides once. */
    Role claim();

    /** Asks the running instance to show its panel. Returns whether it answered. */
    bool activateRunning();

Q_SIGNALS:
    /** Someone asked this (primary) instance to show itself. */
    void activated();

private:
    QDBusConnection m_bus;
    bool m_owned = false;
};
