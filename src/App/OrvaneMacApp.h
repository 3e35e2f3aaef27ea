#pragma once

#include "Services/HeartbeatScheduler.h"
#include "Support/Subscription.h"

#include <QElapsedTimer>
#include <QObject>
#include <QRect>

#include <functional>
#include <memory>

class ActivityReporter;
class ApiClient;
class AuthStore;
class Clock;
class DeviceStatusStore;
class KeychainStore;
class LoginItemService;
class MenuBarView;
class NetworkPathMonitor;
class PowerEvents;
class TrayItem;

/**
 * The menu-bar program as a whole: it builds the session store, the status store and the
 * scheduler, registers the helper as a login item, shows the tray item with its panel, and
 * keeps the scheduler and the status in step with the session. Main thread.
 */
class OrvaneMacApp : public QObject {
    Q_OBJECT
public:
    static constexpr const char* helperIdentifier = "ai.orvane.mac.helper";

    /** What the program is built over. shared() gives the process-wide instances. */
    struct Parts {
        ApiClient& api;
        KeychainStore& keychain;
        ActivityReporter& activity;
        PowerEvents& power;
        std::function<std::unique_ptr<NetworkPathMonitor>()> makePathMonitor;
        std::function<std::unique_ptr<LoginItemService>()> makeLoginItem;
        const Clock& clock;
        HeartbeatScheduler::Config config;
        /**
         * Whether to offer a tray item. While no tray shows it (or without one) the panel is a
         * window, shown at start.
         */
        bool offerTrayItem;

        static Parts shared();
    };

    /** Everything in parts must outlive the program. */
    explicit OrvaneMacApp(Parts parts = Parts::shared(), QObject* parent = nullptr);
    ~OrvaneMacApp() override;

    [[nodiscard]] AuthStore& auth() { return *m_auth; }
    [[nodiscard]] DeviceStatusStore& status() { return *m_status; }
    [[nodiscard]] HeartbeatScheduler& scheduler() { return *m_scheduler; }
    [[nodiscard]] MenuBarView& panel() { return *m_panel; }
    /** The tray item; null when none is offered. */
    [[nodiscard]] TrayItem* trayItem() const { return m_tray; }

    /** What a click on the tray item does: opens the panel beside anchor, or closes it. */
    void togglePanel(QRect anchor = {});

    /** What starting the program again does: shows the panel as a window and raises it. */
    void showPanel();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void registerHelperIfNeeded();
    void buildScene();
    void attachHandlers();
    void refreshStatus(bool enrolled);
    enum class PanelMode { popup, trayWindow, window };
    void setPanelMode(PanelMode mode);
    void placePanel(QRect anchor);

    Parts m_parts;
    std::unique_ptr<AuthStore> m_auth;
    std::unique_ptr<DeviceStatusStore> m_status;
    std::unique_ptr<HeartbeatScheduler> m_scheduler;
    std::unique_ptr<MenuBarView> m_panel;
    TrayItem* m_tray = nullptr;
    PanelMode m_panelMode = PanelMode::window;
    QElapsedTimer m_sincePanelClosed;

    Subscription m_heartbeatHandler;
    Subscription m_policyHandler;
    Subscription m_enrolledHandler;
};
