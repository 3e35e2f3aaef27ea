#include "Platform/Linux/ApplicationIdentity.h"

#include "Platform/Linux/AppStreamComponents.h"
#include "Platform/Linux/DesktopEntries.h"
#include "Platform/Linux/RegularFile.h"

#include <QDir>
#include <QDirIterator>
#include <QHash>
#include <QRegularExpression>

#include <sys/stat.h>

#include <chrono>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr qint64 maximumProcFileSize = 64 * 1024;
// A miss re-checks the data folders at most this often, so a burst of unknown windows stays cheap.
constexpr auto refreshInterval = 2s;

QString withoutDesktopSuffix(const QString& id)
{
    return id.endsWith(u".desktop") ? id.chopped(8) : id;
}

// Text that could name a file or a class: short, no path, no control characters.
bool usableHint(const QString& hint)
{
    if (hint.isEmpty() || hint.size() > ApplicationIdentity::maximumHintLength ||
        hint.contains(u'/'))
        return false;
    for (const QChar c : hint)
        if (c.unicode() < 0x20 || c == QChar::ReplacementCharacter)
            return false;
    return true;
}

int hexDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return -1;
}

// "\x2d" and the like, as systemd escapes unit names: exactly two hex digits ("\x-d" is text).
QString unescapedUnitName(const QString& text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\\' && i + 3 < text.size() && text[i + 1] == u'x') {
            const int high = hexDigit(text[i + 2]);
            const int low = hexDigit(text[i + 3]);
            if (high >= 0 && low >= 0) {
                out += QChar(high * 16 + low);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// Modification times of the folders the index was built from; a missing folder reads as -1.
std::vector<qint64> stamps(const QStringList& folders)
{
    std::vector<qint64> out;
    out.reserve(folders.size());
    for (const auto& folder : folders) {
        struct stat status {};
        out.push_back(::stat(folder.toLocal8Bit().constData(), &status) == 0
                          ? qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec
                          : -1);
    }
    return out;
}

} // namespace

class ApplicationIdentity::Index {
public:
    Index(QStringList dataDirs, QStringList localeNames, QStringList catalogDirs, QString procRoot)
        : m_dataDirs(std::move(dataDirs)), m_localeNames(std::move(localeNames)),
          m_catalogDirs(std::move(catalogDirs)), m_procRoot(std::move(procRoot))
    {
    }

    std::optional<QString> desktopId(const WindowHints& hints)
    {
        std::lock_guard lock(m_mutex);
        const int found = findWithRefresh(hints);
        if (found < 0)
            return std::nullopt;
        return m_entries[found].id + QStringLiteral(".desktop");
    }

    RunningApplication resolve(const WindowHints& hints)
    {
        std::lock_guard lock(m_mutex);
        const int found = findWithRefresh(hints);
        if (found < 0)
            return {};
        const Entry& entry = m_entries[found];
        RunningApplication application;
        if (!entry.componentId.isEmpty())
            application.bundleIdentifier = entry.componentId;
        else if (AppStreamComponents::isReverseDns(entry.id))
            application.bundleIdentifier = entry.id;
        else
            application.bundleIdentifier = entry.id + QStringLiteral(".desktop");
        application.localizedName = entry.name;
        return application;
    }

    void warmUp()
    {
        std::lock_guard lock(m_mutex);
        if (!m_built)
            build();
    }

private:
    struct Entry {
        QString id; // without ".desktop"
        std::optional<QString> name;
        QString startupWMClass;
        QString componentId;
    };

    int findWithRefresh(const WindowHints& hints)
    {
        if (!m_built)
            build();
        int found = find(hints);
        if (found >= 0)
            return found;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastCheck < refreshInterval)
            return -1;
        m_lastCheck = now;
        if (stamps(m_watched) == m_stamps)
            return -1;
        build();
        return find(hints);
    }

    // -1 when none.
    static int lookUp(const QHash<QString, int>& exact, const QHash<QString, int>& folded,
                      const QString& key)
    {
        if (const auto it = exact.constFind(key); it != exact.constEnd())
            return *it;
        if (const auto it = folded.constFind(key.toCaseFolded()); it != folded.constEnd())
            return *it;
        return -1;
    }

    int asDesktopId(const QString& hint) const
    {
        return usableHint(hint) ? lookUp(m_byId, m_byFoldedId, withoutDesktopSuffix(hint)) : -1;
    }
    int asWMClass(const QString& hint) const
    {
        return usableHint(hint) ? lookUp(m_byClass, m_byFoldedClass, hint) : -1;
    }

    int find(const WindowHints& hints) const
    {
        const QString explicitIds[] = {hints.appId, hints.gtkApplicationId, hints.kdeDesktopFile};
        for (const auto& id : explicitIds) {
            if (const int found = asDesktopId(id); found >= 0)
                return found;
            if (const int found = asWMClass(id); found >= 0)
                return found;
        }
        const QString classes[] = {hints.wmClassClass, hints.wmClassInstance};
        for (const auto& name : classes) {
            if (const int found = asWMClass(name); found >= 0)
                return found;
            if (const int found = asDesktopId(name); found >= 0)
                return found;
        }
        // "konsole" for org.kde.konsole: the last part of one reverse-DNS id only.
        for (const auto& names : {QList<QString>(std::begin(explicitIds), std::end(explicitIds)),
                                  QList<QString>(std::begin(classes), std::end(classes))}) {
            for (const auto& name : names) {
                if (!usableHint(name))
                    continue;
                const auto it = m_byLastPart.constFind(withoutDesktopSuffix(name).toCaseFolded());
                if (it != m_byLastPart.constEnd() && *it >= 0)
                    return *it;
            }
        }
        return hints.pid > 0 ? findByProcess(hints.pid) : -1;
    }

    int findByProcess(qint64 pid) const
    {
        const QString process = m_procRoot + u'/' + QString::number(pid);
        QStringList candidates;
        // Flatpak's sandbox names its application in a file at the root of its mount namespace.
        if (const auto info = RegularFile::read(process + QStringLiteral("/root/.flatpak-info"),
                                                maximumProcFileSize)) {
            bool inApplication = false;
            for (const QByteArray& raw : info->split('\n')) {
                const QByteArray line = raw.trimmed();
                if (line.startsWith('['))
                    inApplication = line == "[Application]";
                else if (inApplication && line.startsWith("name="))
                    candidates << QString::fromUtf8(line.mid(5)).trimmed();
            }
        }
        if (const auto cgroup =
                RegularFile::read(process + QStringLiteral("/cgroup"), maximumProcFileSize))
            candidates << desktopIdsFromCgroup(*cgroup);
        for (const auto& candidate : candidates)
            if (const int found = asDesktopId(candidate); found >= 0)
                return found;
        return -1;
    }

    void build()
    {
        m_built = true;
        m_lastCheck = std::chrono::steady_clock::now();
        m_entries.clear();
        m_byId.clear();
        m_byFoldedId.clear();
        m_byClass.clear();
        m_byFoldedClass.clear();
        m_byLastPart.clear();
        m_watched.clear();

        QSet<QString> seen; // ids already decided by a folder of higher precedence
        for (const auto& dir : m_dataDirs) {
            const QString applications = dir + QStringLiteral("/applications");
            m_watched << applications;
            QDirIterator it(applications, {QStringLiteral("*.desktop")}, QDir::Files,
                            QDirIterator::Subdirectories);
            while (it.hasNext() && m_entries.size() < std::size_t(maximumEntries)) {
                const QString path = it.next();
                // Entries in subfolders have ids with "-" for "/": kde4/konsole → kde4-konsole.
                const QString id =
                    withoutDesktopSuffix(path.mid(applications.size() + 1).replace(u'/', u'-'));
                if (seen.contains(id))
                    continue;
                seen.insert(id);
                const auto contents = RegularFile::read(path, DesktopEntries::maximumEntrySize);
                if (!contents)
                    continue;
                const auto parsed = DesktopEntries::parse(*contents, m_localeNames);
                if (!parsed || parsed->hidden || !parsed->application)
                    continue;
                add({id, parsed->name, parsed->startupWMClass, {}});
            }
        }

        const auto sink = [this](const QString& componentId, const QStringList& launchables) {
            QStringList desktopIds = launchables;
            if (desktopIds.isEmpty() && componentId.endsWith(u".desktop"))
                desktopIds << componentId;
            for (const auto& desktopId : desktopIds) {
                const auto it = m_byId.constFind(withoutDesktopSuffix(desktopId));
                // The first component that claims an entry keeps it: metainfo before catalogs.
                if (it != m_byId.constEnd() && m_entries[*it].componentId.isEmpty())
                    m_entries[*it].componentId = AppStreamComponents::normalizedId(componentId);
            }
        };
        for (const auto& dir : m_dataDirs) {
            for (const char* folder : {"/metainfo", "/appdata"}) {
                const QString path = dir + QLatin1String(folder);
                m_watched << path;
                QDirIterator it(path, {QStringLiteral("*.xml")}, QDir::Files);
                while (it.hasNext()) {
                    if (const auto xml = RegularFile::read(it.next(), maximumMetainfoSize))
                        AppStreamComponents::readXml(*xml, sink);
                }
            }
        }
        for (const auto& dir : m_catalogDirs) {
            m_watched << dir;
            QDirIterator it(dir,
                            {QStringLiteral("*.yml.gz"), QStringLiteral("*.yml"),
                             QStringLiteral("*.xml.gz"), QStringLiteral("*.xml")},
                            QDir::Files);
            while (it.hasNext())
                AppStreamComponents::readFile(it.next(), maximumCatalogSize,
                                              maximumCatalogExpandedSize, sink);
        }
        m_stamps = stamps(m_watched);
    }

    void add(Entry entry)
    {
        const int index = int(m_entries.size());
        m_byId.insert(entry.id, index);
        m_byFoldedId.insert(entry.id.toCaseFolded(), index);
        if (!entry.startupWMClass.isEmpty()) {
            m_byClass.insert(entry.startupWMClass, index);
            m_byFoldedClass.insert(entry.startupWMClass.toCaseFolded(), index);
        }
        if (AppStreamComponents::isReverseDns(entry.id)) {
            const QString last = entry.id.section(u'.', -1).toCaseFolded();
            // Two entries ending alike name neither.
            m_byLastPart.insert(last, m_byLastPart.contains(last) ? -1 : index);
        }
        m_entries.push_back(std::move(entry));
    }

    const QStringList m_dataDirs;
    const QStringList m_localeNames;
    const QStringList m_catalogDirs;
    const QString m_procRoot;

    std::mutex m_mutex;
    bool m_built = false;
    std::chrono::steady_clock::time_point m_lastCheck;
    QStringList m_watched;
    std::vector<qint64> m_stamps;
    std::vector<Entry> m_entries;
    // Lookups keep the first (highest-precedence) entry for a key.
    struct FirstWins : QHash<QString, int> {
        void insert(const QString& key, int value)
        {
            if (!contains(key))
                QHash<QString, int>::insert(key, value);
        }
    };
    FirstWins m_byId, m_byFoldedId, m_byClass, m_byFoldedClass;
    QHash<QString, int> m_byLastPart;
};

ApplicationIdentity::ApplicationIdentity(QStringList dataDirs, QStringList localeNames,
                                         QStringList catalogDirs, QString procRoot)
    : m_index(std::make_unique<Index>(std::move(dataDirs), std::move(localeNames),
                                      std::move(catalogDirs), std::move(procRoot)))
{
}

ApplicationIdentity::~ApplicationIdentity() = default;

std::shared_ptr<ApplicationIdentity> ApplicationIdentity::fromEnvironment()
{
    const DesktopEntries entries = DesktopEntries::fromEnvironment();
    // The distribution's catalog: Debian's apt hook and AppStream's own cache folders.
    QStringList catalogs;
    for (const auto& dir : entries.dataDirs())
        catalogs << dir + QStringLiteral("/swcatalog/yaml")
                 << dir + QStringLiteral("/swcatalog/xml") << dir + QStringLiteral("/app-info/yaml")
                 << dir + QStringLiteral("/app-info/xmls");
    catalogs << QStringLiteral("/var/lib/swcatalog/yaml")
             << QStringLiteral("/var/cache/swcatalog/xml")
             << QStringLiteral("/var/lib/app-info/yaml")
             << QStringLiteral("/var/cache/app-info/xmls");
    catalogs.removeDuplicates();
    return std::make_shared<ApplicationIdentity>(entries.dataDirs(), entries.localeNames(),
                                                 std::move(catalogs));
}

RunningApplication ApplicationIdentity::resolve(const WindowHints& hints) const
{
    return m_index->resolve(hints);
}

std::optional<QString> ApplicationIdentity::desktopId(const WindowHints& hints) const
{
    return m_index->desktopId(hints);
}

void ApplicationIdentity::warmUp() const
{
    m_index->warmUp();
}

QStringList ApplicationIdentity::desktopIdsFromCgroup(const QByteArray& contents)
{
    QStringList candidates;
    for (const QByteArray& line : contents.split('\n')) {
        // "0::/user.slice/…/app.slice/app-gnome-org.gnome.Terminal-1234.scope"; v1 lines too.
        const qsizetype slash = line.lastIndexOf('/');
        if (slash < 0)
            continue;
        const QString unit = QString::fromUtf8(line.mid(slash + 1)).trimmed();
        if (unit.startsWith(u"snap.") && unit.endsWith(u".scope")) {
            const QStringList parts = unit.split(u'.');
            if (parts.size() >= 4) {
                // snap.<snap>.<app>.<uuid>.scope, or snap.<snap>.<app>-<uuid>.scope
                static const QRegularExpression uuidSuffix(
                    QStringLiteral("-[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$"));
                QString app = parts[2];
                app.remove(uuidSuffix);
                candidates << parts[1] + u'_' + app;
            }
            continue;
        }
        if (!unit.startsWith(u"app-"))
            continue;
        QString name;
        if (unit.endsWith(u".service")) {
            name = unit.mid(4).chopped(8);
            if (const auto at = name.indexOf(u'@'); at >= 0)
                name.truncate(at);
        } else if (unit.endsWith(u".scope")) {
            name = unit.mid(4).chopped(6);
            // The random part follows the last unescaped "-".
            const auto dash = name.lastIndexOf(u'-');
            if (dash <= 0)
                continue;
            name.truncate(dash);
        } else {
            continue;
        }
        if (name.startsWith(u"flatpak-")) {
            candidates << unescapedUnitName(name.mid(8));
            continue;
        }
        // "<launcher>-<id>" or "<id>"; ids escape their own "-" as "\x2d".
        if (const auto dash = name.indexOf(u'-'); dash > 0)
            candidates << unescapedUnitName(name.mid(dash + 1));
        candidates << unescapedUnitName(name);
    }
    candidates.removeDuplicates();
    return candidates;
}
