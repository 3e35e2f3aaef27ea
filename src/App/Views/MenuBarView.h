#pragma once

#include <QUrl>
#include <QWidget>

class AuthStore;
class Clock;
class DeviceStatusStore;
class RootView;

/**
 * The panel: the header with the badge and the product name, the content (RootView), and the
 * footer with the dashboard link and the quit action. Always 320 × 420.
 */
class MenuBarView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize panelSize{320, 420};

    /**
     * The stores and the clock must outlive the view. dashboardAddress is the parent
     * dashboard's URL; one that does not parse makes the link do nothing.
     */
    MenuBarView(AuthStore& auth, DeviceStatusStore& status, const Clock& clock,
                const QString& dashboardAddress = QStringLiteral(ORVANE_DASHBOARD_URL),
                QWidget* parent = nullptr);

    [[nodiscard]] RootView* rootView() const { return m_root; }

protected:
    bool event(QEvent* event) override;

private:
    void openDashboard();
    void fitContent();

    QString m_dashboardAddress;
    RootView* m_root;
};
