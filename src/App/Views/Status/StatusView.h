#pragma once

#include "Support/Subscription.h"

#include <QWidget>

class AuthStore;
class Clock;
class DeviceStatusStore;
class OrvaneLabel;
class PlainButton;
class QDateTime;

/**
 * The protection status of a paired computer: the chip (a glowing dot and the status label),
 * the last check-in, the end of a pause, and the unpair action. Holds no state of its own: it
 * is drawn again from the status store on every value the store publishes and on every show.
 */
class StatusView : public QWidget {
    Q_OBJECT
public:
    /**
     * Room the view keeps around its content, above and at the sides: a widget cannot draw
     * outside its parent, and the dot's glow spills over the content's edge.
     */
    static constexpr int glowRoom = 8;

    /** The stores and the clock must outlive the view. */
    StatusView(AuthStore& auth, DeviceStatusStore& status, const Clock& clock,
               QWidget* parent = nullptr);

    /** "Last check " and the short relative description of lastCheck against now. */
    static QString lastCheckText(const QDateTime& lastCheck, const QDateTime& now);
    /** "Resumes " and the end of the pause as the locale's hour and minute. */
    static QString resumesText(const QDateTime& until);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void redraw();
    void unpair();

    AuthStore& m_auth;
    DeviceStatusStore& m_status;
    const Clock& m_clock;

    QWidget* m_dot;
    OrvaneLabel* m_label;
    OrvaneLabel* m_lastCheck;
    OrvaneLabel* m_resumes;
    PlainButton* m_unpair;

    Subscription m_statusSubscription;
    Subscription m_lastCheckSubscription;
};
