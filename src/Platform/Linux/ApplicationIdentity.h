#pragma once

#include "Platform/ApplicationActivity.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

/** What a window system tells about a window; any part may be empty. */
struct WindowHints {
    QString appId;            // Wayland app_id, GNOME Shell's application id (".desktop" optional)
    QString gtkApplicationId; // _GTK_APPLICATION_ID
    QString kdeDesktopFile;   // _KDE_NET_WM_DESKTOP_FILE
    QString wmClassInstance;  // WM_CLASS, first part
    QString wmClassClass;     // WM_CLASS, second part
    qint64 pid = 0;           // the window's process; 0 when unknown
};

/**
 * The one rule that turns a window into the application the usage report names, the same on
 * every window system: window → desktop entry → AppStream component id (else the desktop id
 * when it is reverse-DNS, else "<id>.desktop"), with the entry's Name in the user's locale.
 *
 * The entry is found from the hints in this order: appId, gtkApplicationId, kdeDesktopFile (each
 * as a desktop id, then as a StartupWMClass), WM_CLASS class then instance (as a
 * StartupWMClass, then as a desktop id), then the process: its Flatpak or Snap application, then
 * the systemd scope it was launched in. Names compare case-insensitively when no exact match
 * exists. A window without an entry anywhere gives an application with neither identifier nor
 * name.
 *
 * The index of entries and AppStream data is built on the first resolve() and rebuilt when a
 * lookup misses and a data folder changed since. Thread-safe; resolve() takes one lock, so build
 * the index on a backend's own thread (warmUp()), never on the main thread.
 */
class ApplicationIdentity {
public:
    /**
     * dataDirs in order of precedence (the user's own first; "applications" and "metainfo" or
     * "appdata" below each), localeNames best first, catalogDirs holding the distribution's
     * AppStream catalog (DEP-11 "*.yml.gz"/".yml", collection XML "*.xml.gz"/".xml"), procRoot
     * the /proc to read processes from.
     */
    ApplicationIdentity(QStringList dataDirs, QStringList localeNames, QStringList catalogDirs = {},
                        QString procRoot = QStringLiteral("/proc"));
    ~ApplicationIdentity();
    ApplicationIdentity(const ApplicationIdentity&) = delete;
    ApplicationIdentity& operator=(const ApplicationIdentity&) = delete;

    /** The XDG data folders, message locales and system catalog folders of this process. */
    [[nodiscard]] static std::shared_ptr<ApplicationIdentity> fromEnvironment();

    /** The application of a window (see the class comment). */
    [[nodiscard]] RunningApplication resolve(const WindowHints& hints) const;

    /** The desktop id ("vlc.desktop") the hints lead to, or none. */
    [[nodiscard]] std::optional<QString> desktopId(const WindowHints& hints) const;

    /** Builds the index now unless it is built; for a backend's thread before its first event. */
    void warmUp() const;

    /**
     * Desktop-id candidates named by a process's /proc/<pid>/cgroup contents: the application
     * of an "app-[<launcher>-]<id>-<random>.scope" or "app-[<launcher>-]<id>@<random>.service"
     * unit (most likely first), a Flatpak "app-flatpak-<id>-<n>.scope", a Snap
     * "snap.<snap>.<app>….scope" as "<snap>_<app>".
     */
    [[nodiscard]] static QStringList desktopIdsFromCgroup(const QByteArray& contents);

    /** Caps on what is read: larger files are skipped whole. */
    static constexpr qint64 maximumMetainfoSize = 4 << 20;
    static constexpr qint64 maximumCatalogSize = 64 << 20;                // compressed or not
    static constexpr qint64 maximumCatalogExpandedSize = qint64(1) << 30; // streamed, not held
    static constexpr int maximumEntries = 20000;                          // desktop entries kept
    /** Hints longer than this name no file and are not looked up. */
    static constexpr qsizetype maximumHintLength = 255;

private:
    class Index;
    std::unique_ptr<Index> m_index;
};
