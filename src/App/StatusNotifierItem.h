#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPoint>

class QDBusServiceWatcher;

/**
 * The tray item as a StatusNotifierItem on the session bus (KDE Plasma, GNOME with the
 * AppIndicator extension, waybar, Xfce, ...). It follows the owner of
 * org.kde.StatusNotifierWatcher: whenever a watcher appears (after start, or after a restart of
 * the panel) the item registers with it again. Main thread.
 */
class StatusNotifierItem : public QObject {
    Q_OBJECT
public:
    static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char* watcherPath = "/StatusNotifierWatcher";
    static constexpr const char* itemPath = "/StatusNotifierItem";

    /** iconName is looked up by the host in the icon theme; icon is sent as pixels besides. */
    StatusNotifierItem(const QString& id, const QString& title, const QString& iconName,
                       const QIcon& icon, QDBusConnection bus = QDBusConnection::sessionBus(),
                       QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    /** The item's bus name, "org.kde.StatusNotifierItem-<pid>-<n>"; empty when it has none. */
    [[nodiscard]] QString serviceName() const { return m_serviceName; }

    /** Whether a watcher has accepted the item and a host that shows it is registered. */
    [[nodiscard]] bool isHosted() const { return m_registered && m_hostRegistered; }

    /** Whether a watcher owns its name on the bus right now (a blocking call). */
    static bool watcherPresent(const QDBusConnection& bus);

    // What the adaptor exposes.
    [[nodiscard]] QString id() const { return m_id; }
    [[nodiscard]] QString title() const { return m_title; }
    [[nodiscard]] QString iconName() const { return m_iconName; }
    [[nodiscard]] const QIcon& icon() const { return m_icon; }
    void activate(int x, int y);

Q_SIGNALS:
    /** The item was clicked; at is the position the host gave, or null when it gave none. */
    void activated(QPoint at);
    /** isHosted() changed. */
    void hostedChanged(bool hosted);

private Q_SLOTS:
    void hostRegistered();
    void hostUnregistered();

private:
    void registerAtStart();
    void registerWithWatcher();
    void queryHost();
    void setState(bool registered, bool hostRegistered);

    QDBusConnection m_bus;
    QString m_id;
    QString m_title;
    QString m_iconName;
    QIcon m_icon;
    QString m_serviceName;
    QDBusServiceWatcher* m_watcherWatch = nullptr;
    bool m_registered = false;
    bool m_hostRegistered = false;
    // Answers of an older watcher arrive after a newer one appeared: only the latest counts.
    quint64 m_attempt = 0;
};
