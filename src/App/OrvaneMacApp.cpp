#include "App/OrvaneMacApp.h"

#include "App/Design/OrvaneBadge.h"
#include "App/TrayItem.h"
#include "App/Views/MenuBarView.h"
#include "Platform/Log.h"
#include "Platform/LoginItemService.h"
#include "Platform/NetworkPathMonitor.h"
#include "Platform/PowerEvents.h"
#include "Services/ActivityReporter.h"
#include "Services/ApiClient.h"
#include "Services/AuthStore.h"
#include "Services/DeviceStatusStore.h"
#include "Services/KeychainStore.h"
#include "Support/Clock.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QScreen>
#include <QStandardPaths>

namespace {

// A click on the tray item that closes the open panel must not open it again at once.
constexpr qint64 reopenGuardMs = 300;
// Space between the tray item and the panel.
constexpr int panelGap = 4;

// The tray item's icon from the theme where the program is installed, else its own pixels.
QString trayIconName()
{
    const QString name = QStringLiteral("ai.orvane.mac-symbolic");
    const QString file = QStringLiteral("icons/hicolor/symbolic/apps/%1.svg").arg(name);
    return QStandardPaths::locate(QStandardPaths::GenericDataLocation, file).isEmpty() ? QString()
                                                                                       : name;
}

bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

OrvaneMacApp::Parts OrvaneMacApp::Parts::shared()
{
    ApiClient& api = ApiClient::shared();
    KeychainStore& keychain = KeychainStore::shared();
    return {
        api,
        keychain,
        ActivityReporter::shared(),
        PowerEvents::system(),
        [] { return NetworkPathMonitor::create(); },
        [] { return LoginItemService::loginItem(QString::fromLatin1(helperIdentifier)); },
        Clock::system(),
        HeartbeatScheduler::Config{60, 30, 120},
        true,
    };
}

OrvaneMacApp::OrvaneMacApp(Parts parts, QObject* parent)
    : QObject(parent), m_parts(std::move(parts))
{
    // The session store queues its restore; it runs once this constructor has returned.
    m_auth = std::make_unique<AuthStore>(m_parts.api, m_parts.keychain);
    m_status = std::make_unique<DeviceStatusStore>(m_parts.clock);
    m_scheduler = std::make_unique<HeartbeatScheduler>(m_parts.api, *m_auth, m_parts.activity,
                                                       m_parts.config, m_parts.power,
                                                       m_parts.makePathMonitor(), m_parts.clock);
    registerHelperIfNeeded();
    buildScene();
    attachHandlers();
}

OrvaneMacApp::~OrvaneMacApp()
{
    // The handlers and the views go before the stores they watch.
    m_enrolledHandler.reset();
    m_policyHandler.reset();
    m_heartbeatHandler.reset();
    delete m_tray;
    m_panel.reset();
}

void OrvaneMacApp::registerHelperIfNeeded()
{
    const std::unique_ptr<LoginItemService> service = m_parts.makeLoginItem();
    if (!service)
        return;
    switch (service->status()) {
    case LoginItemService::notRegistered:
    case LoginItemService::notFound:
        if (const auto error = service->registerItem())
            Log::plain(QStringLiteral("[Orvane] Could not register helper: %1").arg(*error));
        break;
    case LoginItemService::enabled:
        break;
    case LoginItemService::requiresApproval:
        Log::plain(QStringLiteral("[Orvane] Helper requires user approval"));
        break;
    default:
        Log::plain(QStringLiteral("[Orvane] Unknown helper status"));
        break;
    }
}

void OrvaneMacApp::buildScene()
{
    m_panel = std::make_unique<MenuBarView>(*m_auth, *m_status, m_parts.clock);
    m_panel->setWindowTitle(tr("Orvane"));
    m_panel->installEventFilter(this);

    if (m_parts.offerTrayItem) {
        m_tray = new TrayItem(QStringLiteral("ai.orvane.mac"), tr("Orvane"), trayIconName(),
                              OrvaneBadge::trayIcon(), this);
        connect(m_tray, &TrayItem::clicked, this, &OrvaneMacApp::togglePanel);
        // Closing the panel's window ends the program only while no tray can bring it back.
        QApplication::setQuitOnLastWindowClosed(!m_tray->isHosted());
        connect(m_tray, &TrayItem::hostedChanged, this,
                [](bool hosted) { QApplication::setQuitOnLastWindowClosed(!hosted); });
    }
    setPanelMode(PanelMode::window);
    if (!m_tray || !m_tray->isHosted()) {
        // No tray to open the panel from: a small window, so the computer can still be paired.
        m_panel->show();
    }
}

void OrvaneMacApp::attachHandlers()
{
    auto& scheduler = *m_scheduler;
    m_heartbeatHandler =
        scheduler.lastHeartbeatAt().subscribe([this](const std::optional<QDateTime>& at) {
            m_status->refresh(m_auth->enrolled().get(), at, m_scheduler->latestPolicy().get());
        });
    m_policyHandler = scheduler.policyPublisher().subscribe(
        [this](const Policy&) { refreshStatus(m_auth->enrolled().get()); });
    m_enrolledHandler = m_auth->enrolled().subscribe([this](bool enrolled) {
        if (enrolled)
            m_scheduler->start();
        else
            m_scheduler->stop();
        refreshStatus(enrolled);
    });
}

void OrvaneMacApp::refreshStatus(bool enrolled)
{
    m_status->refresh(enrolled, m_scheduler->lastHeartbeatAt().get(),
                      m_scheduler->latestPolicy().get());
}

bool OrvaneMacApp::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_panel.get()) {
        if (event->type() == QEvent::Show) {
            if (m_auth->enrolled().get() && !m_scheduler->isRunning().get())
                m_scheduler->start();
        } else if (event->type() == QEvent::Hide) {
            m_sincePanelClosed.start();
        } else if (event->type() == QEvent::WindowDeactivate &&
                   m_panelMode == PanelMode::trayWindow) {
            // Opened from the tray on Wayland: closes when focus leaves, like the popup.
            m_panel->hide();
        }
    }
    return QObject::eventFilter(watched, event);
}

void OrvaneMacApp::togglePanel(QRect anchor)
{
    if (m_panel->isVisible()) {
        m_panel->hide();
        return;
    }
    if (m_sincePanelClosed.isValid() && m_sincePanelClosed.elapsed() < reopenGuardMs)
        return;
    // Wayland has no global positions and refuses a parentless popup: there the compositor
    // places a small window.
    setPanelMode(!m_tray || !m_tray->isHosted() ? PanelMode::window
                 : onWayland()                  ? PanelMode::trayWindow
                                                : PanelMode::popup);
    if (m_panelMode == PanelMode::popup)
        placePanel(anchor);
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void OrvaneMacApp::showPanel()
{
    if (!m_panel->isVisible())
        setPanelMode(PanelMode::window);
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void OrvaneMacApp::setPanelMode(PanelMode mode)
{
    m_panelMode = mode;
    const Qt::WindowFlags flags = mode == PanelMode::popup ? Qt::Popup | Qt::FramelessWindowHint
                                  : mode == PanelMode::trayWindow
                                      ? Qt::Window | Qt::FramelessWindowHint
                                      : Qt::Window | Qt::MSWindowsFixedSizeDialogHint;
    // Changing the flags recreates the native window: only when they change.
    if (m_panel->windowFlags() != flags)
        m_panel->setWindowFlags(flags);
}

void OrvaneMacApp::placePanel(QRect icon)
{
    const QPoint anchor = icon.isValid() ? icon.center() : QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QSize size = m_panel->size();
    // Below an item in the upper half of the screen, above one in the lower half.
    const bool below = anchor.y() < area.center().y();
    int y = below
                ? (icon.isValid() ? icon.bottom() + panelGap : anchor.y() + panelGap)
                : (icon.isValid() ? icon.top() - panelGap : anchor.y() - panelGap) - size.height();
    int x = anchor.x() - size.width() / 2;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    m_panel->move(x, y);
}
