#include "App/TrayItem.h"

#include "App/StatusNotifierItem.h"

#include <QCursor>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <qpa/qplatformnativeinterface.h>

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
    connect(m_sni, &StatusNotifierItem::hostedChanged, this, &TrayItem::tellHosted);
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
    // Qt's icon follows an XEmbed tray that starts or ends, but tells only through the xcb
    // plugin's native interface (a signal of a class without a public header, so by name).
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        connect(QGuiApplication::platformNativeInterface(),
                SIGNAL(systemTrayWindowChanged(QScreen*)), this, SLOT(tellHosted()));
}

TrayItem::~TrayItem()
{
    delete m_xembed;
}

bool TrayItem::isHosted() const
{
    return m_sni->isHosted() || (m_xembed && QSystemTrayIcon::isSystemTrayAvailable());
}

void TrayItem::tellHosted()
{
    if (isHosted() == m_hosted)
        return;
    m_hosted = isHosted();
    Q_EMIT hostedChanged(m_hosted);
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
    m_xembed = new QSystemTrayIcon(m_icon, this);
    m_xembed->setToolTip(m_title);
    connect(m_xembed, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick ||
                    reason == QSystemTrayIcon::Context)
                    Q_EMIT clicked(m_xembed->geometry());
            });
    m_xembed->show();
    tellHosted();
}
