// The identity rule over what a window system and /proc hand it, against a fixed data folder of
// real desktop entries and AppStream data (copied once per process into a temporary folder).
// Input: fields split at 0x1e, each optional: the Wayland or GNOME Shell app id, the GTK
// application id, the KDE desktop-file name, WM_CLASS as the raw property ("instance\0class\0"),
// the process's /proc/<pid>/cgroup and its /.flatpak-info (a fifth field, even empty, gives the
// window that process).
// Whatever comes out is an application the usage measurement can count, or nothing; the same
// hints give the same answer twice.
#include "FuzzSupport.h"

#include "Platform/Linux/ApplicationIdentity.h"
#include "Services/MeasuredIdentifier.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <memory>

namespace {

// X11 text properties are UTF-8 or Latin-1: UTF-8 when valid, as the X11 backend reads them.
QString propertyText(const QByteArray& bytes)
{
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

bool write(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

struct Setup {
    Setup()
    {
        Fuzz::check(root.isValid(), "no temporary folder");
        const QString fixtures =
            QStringLiteral(ORVANE_FUZZ_SOURCE_DIR "/tests/Platform/fixtures/identity");
        const QString system = root.filePath(QStringLiteral("system"));
        const QString user = root.filePath(QStringLiteral("user"));
        const QString catalog = root.filePath(QStringLiteral("catalog"));
        proc = root.filePath(QStringLiteral("proc"));
        for (const char* folder : {"/applications", "/metainfo"}) {
            QDirIterator it(fixtures + QLatin1String(folder), QDir::Files);
            while (it.hasNext()) {
                const QString path = it.next();
                QFile file(path);
                Fuzz::check(file.open(QIODevice::ReadOnly) &&
                                write(system + QLatin1String(folder) + u'/' + it.fileName(),
                                      file.readAll()),
                            "the identity fixtures cannot be copied");
            }
        }
        QFile yaml(fixtures + QStringLiteral("/swcatalog/catalog.yml"));
        Fuzz::check(yaml.open(QIODevice::ReadOnly) &&
                        write(catalog + QStringLiteral("/Components-amd64.yml"), yaml.readAll()),
                    "the catalog cannot be copied");
        // A Flatpak and a Snap export, and the user's own copy of an entry.
        Fuzz::check(write(user + QStringLiteral("/applications/org.example.Flat.desktop"),
                          "[Desktop Entry]\nType=Application\nName=Flat\n") &&
                        write(user + QStringLiteral(
                                         "/applications/example-snap_example-snap.desktop"),
                              "[Desktop Entry]\nType=Application\nName=Snapped\n") &&
                        write(user + QStringLiteral("/applications/vlc.desktop"),
                              "[Desktop Entry]\nType=Application\nName=My VLC\n"
                              "StartupWMClass=vlc\n"),
                    "the user's entries cannot be written");
        for (const QString& dir : {user, system}) {
            QDirIterator it(dir + QStringLiteral("/applications"), {QStringLiteral("*.desktop")},
                            QDir::Files);
            while (it.hasNext()) {
                it.next();
                desktopIds.insert(it.fileName());
            }
        }
        identity = std::make_unique<ApplicationIdentity>(
            QStringList{user, system}, QStringList{QStringLiteral("de_DE"), QStringLiteral("de")},
            QStringList{catalog}, proc);
        identity->warmUp();
        // A folder that failed to set up would leave every input resolving to nothing.
        WindowHints firefox;
        firefox.appId = QStringLiteral("firefox-esr");
        Fuzz::check(identity->resolve(firefox).bundleIdentifier ==
                        QStringLiteral("firefox-esr.desktop"),
                    "the data folder names no Firefox");
    }

    QTemporaryDir root;
    QString proc;
    QSet<QString> desktopIds;
    std::unique_ptr<ApplicationIdentity> identity;
};

// A /proc file of the window's process: written when the input has it, else absent. Removed
// first: ext4 flushes a file truncated and written again to disk on close, a wait on every run.
void procFile(const QString& path, const QList<QByteArray>& fields, qsizetype index)
{
    QFile::remove(path);
    if (index < fields.size())
        Fuzz::check(write(path, fields[index]), "a /proc file cannot be written");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Setup setup;
    const QList<QByteArray> fields = Fuzz::bytes(data, size).split('\x1e');

    WindowHints hints;
    hints.appId = QString::fromUtf8(fields.value(0));
    hints.gtkApplicationId = propertyText(fields.value(1));
    hints.kdeDesktopFile = propertyText(fields.value(2));
    const QList<QByteArray> wmClass = fields.value(3).split('\0');
    hints.wmClassInstance = propertyText(wmClass.value(0));
    hints.wmClassClass = propertyText(wmClass.value(1));
    constexpr qint64 pid = 4242;
    const QString process = setup.proc + u'/' + QString::number(pid);
    procFile(process + QStringLiteral("/cgroup"), fields, 4);
    procFile(process + QStringLiteral("/root/.flatpak-info"), fields, 5);
    hints.pid = fields.size() > 4 ? pid : 0;

    const RunningApplication application = setup.identity->resolve(hints);
    Fuzz::check(setup.identity->resolve(hints) == application,
                "the same hints named another application");
    const auto desktopId = setup.identity->desktopId(hints);
    Fuzz::check(desktopId.has_value() == application.bundleIdentifier.has_value(),
                "a desktop id without an application, or the reverse");
    if (desktopId)
        Fuzz::check(setup.desktopIds.contains(*desktopId), "a desktop id not in the data folder");
    if (application.bundleIdentifier)
        Fuzz::check(MeasuredIdentifier::accepts(*application.bundleIdentifier),
                    "an identifier that usage measurement refuses");
    else
        Fuzz::check(!application.localizedName, "a name without an identifier");
    if (application.localizedName)
        Fuzz::check(!application.localizedName->isEmpty(), "an empty name");
    return 0;
}
