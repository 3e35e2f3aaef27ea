#include "App/OrvaneMacApp.h"

#include "App/Design/OrvaneBadge.h"
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
#include <QSystemTrayIcon>

namespace {

// A click on the tray item that closes the open panel must not open it again at once.
constexpr qint64 reopenGuardMs = 300;
// Space between the tray item and the panel.
constexpr int panelGap = 4;

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
        QSystemTrayIcon::isSystemTrayAvailable(),
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

    if (m_parts.trayAvailable) {
        m_panel->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
        // The panel closes itself on a click elsewhere; that must not end the program.
        QApplication::setQuitOnLastWindowClosed(false);
        m_tray = new QSystemTrayIcon(OrvaneBadge::trayIcon(), this);
        m_tray->setToolTip(tr("Orvane"));
        connect(m_tray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger ||
                        reason == QSystemTrayIcon::DoubleClick)
                        togglePanel();
                });
        m_tray->show();
    } else {
        // No tray to open the panel from: a small window, so the computer can still be paired.
        m_panel->setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint);
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
        }
    }
    return QObject::eventFilter(watched, event);
}

void OrvaneMacApp::togglePanel()
{
    if (m_panel->isVisible()) {
        m_panel->hide();
        return;
    }
    if (m_sincePanelClosed.isValid() && m_sincePanelClosed.elapsed() < reopenGuardMs)
        return;
    placePanel();
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void OrvaneMacApp::placePanel()
{
    const QRect icon = m_tray ? m_tray->geometry() : QRect();
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
