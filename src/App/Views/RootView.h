#pragma once

#include "Support/Subscription.h"

#include <QWidget>

class AuthStore;
class Clock;
class DeviceStatusStore;
class QVBoxLayout;

/**
 * The panel's content: a progress indicator while the session is being restored, the status
 * of a paired computer, or else the pairing form. A form shown again after one of the other
 * two starts afresh; while it stays, it keeps its state.
 */
class RootView : public QWidget {
    Q_OBJECT
public:
    /** The stores and the clock must outlive the view. */
    RootView(AuthStore& auth, DeviceStatusStore& status, const Clock& clock,
             QWidget* parent = nullptr);

    /** The widget shown now: a ProgressSpinner, a StatusView or a PairDeviceView. */
    [[nodiscard]] QWidget* content() const { return m_content; }

private:
    enum class Choice { none, progress, status, pairing };

    void redraw();

    AuthStore& m_auth;
    DeviceStatusStore& m_status;
    const Clock& m_clock;
    QVBoxLayout* m_layout;
    Choice m_shown = Choice::none;
    QWidget* m_content = nullptr;
    Subscription m_bootstrappingSubscription;
    Subscription m_enrolledSubscription;
};
