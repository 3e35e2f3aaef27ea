#include "App/TrayItem.h"

#include "App/StatusNotifierItem.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QSystemTrayIcon>

TrayItem::TrayItem(const QString& id, const QString& title, const QString& iconName,
                   const QIcon& icon, QObject* parent)
    : QObject(parent), m_title(title), m_icon(icon)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    m_sni = new StatusNotifierItem(id, title, iconName, icon, bus, this);
    connect(m_sni, &StatusNotifierItem::activated, this, [this](QPoint at) {
        // Hosts on Wayland know no global position; on X11 the pointer is next to the item.
        if (at.isNull() && QGuiApplication::platformName() == QLatin1String("xcb"))
            at = QCursor::pos();
        Q_EMIT clicked(at.isNull() ? QRect() : QRect(at, QSize(1, 1)));
    });
    connect(m_sni, &StatusNotifierItem::hostedChanged, this,
            [this](bool) { Q_EMIT hostedChanged(isHosted()); });
    if (bus.isConnected()) {
        auto* watch =
            new QDBusServiceWatcher(QString::fromLatin1(StatusNotifierItem::watcherService), bus,
                                    QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watch, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& owner) {
                    followWatcher(!owner.isEmpty());
                });
    }
    followWatcher(bus.isConnected() && StatusNotifierItem::watcherPresent(bus));
}

TrayItem::~TrayItem()
{
    delete m_xembed;
}

bool TrayItem::isHosted() const
{
    return m_sni->isHosted() || (m_xembed && QSystemTrayIcon::isSystemTrayAvailable());
}

void TrayItem::followWatcher(bool present)
{
    if (present) {
        delete m_xembed;
        return;
    }
    // XEmbed exists on X11 only; Qt's icon appears by itself once such a tray starts.
    if (m_xembed || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const bool wasHosted = isHosted();
    m_xembed = new QSystemTrayIcon(m_icon, this);
    m_xembed->setToolTip(m_title);
    connect(m_xembed, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick ||
                    reason == QSystemTrayIcon::Context)
                    Q_EMIT clicked(m_xembed->geometry());
            });
    m_xembed->show();
    if (isHosted() != wasHosted)
        Q_EMIT hostedChanged(isHosted());
}
