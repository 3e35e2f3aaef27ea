#pragma once

#include <QObject>

/**
 * The machine going to sleep and waking up. Signals are emitted on the thread the object lives
 * on (the main thread for system()).
 */
class PowerEvents : public QObject {
    Q_OBJECT

public:
    ~PowerEvents() override;

    /**
     * The platform's events, created on first use (on the main thread) and never destroyed.
     * Where the platform cannot tell, no event ever comes.
     */
    static PowerEvents& system();

Q_SIGNALS:
    /** The machine is about to sleep; handlers run before it does, as far as the platform waits. */
    void willSleep();
    void didWake();

protected:
    explicit PowerEvents(QObject* parent = nullptr);
};
