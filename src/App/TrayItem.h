#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QRect>

class QSystemTrayIcon;
class StatusNotifierItem;

/**
 * The program's tray item wherever the desktop has a tray: a StatusNotifierItem while a
 * watcher owns its name on the session bus, else (X11 only) Qt's XEmbed tray icon. Qt decides
 * once at its first tray call whether its own icon speaks D-Bus, so this class keeps Qt's icon
 * to the XEmbed case: it creates it only while no watcher is present and drops it as soon as one
 * appears. Main thread.
 */
class TrayItem : public QObject {
    Q_OBJECT
public:
    TrayItem(const QString& id, const QString& title, const QString& iconName, const QIcon& icon,
             QObject* parent = nullptr);
    ~TrayItem() override;

    /** Whether a tray shows the item now. */
    [[nodiscard]] bool isHosted() const;

    [[nodiscard]] StatusNotifierItem* statusNotifierItem() const { return m_sni; }

Q_SIGNALS:
    /** The item was clicked; anchor is its place on the screen, or null when unknown. */
    void clicked(QRect anchor);
    void hostedChanged(bool hosted);

private Q_SLOTS:
    /** Emits hostedChanged when isHosted differs from what was last told. */
    void tellHosted();

private:
    void followWatcher(bool present);

    QString m_title;
    QIcon m_icon;
    StatusNotifierItem* m_sni = nullptr;
    QPointer<QSystemTrayIcon> m_xembed;
    bool m_hosted = false; // as last told
};
