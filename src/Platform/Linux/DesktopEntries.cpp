#include "Platform/Linux/DesktopEntries.h"

#include "Platform/Linux/RegularFile.h"

#include <map>

namespace {

QString unescaped(QStringView value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value[++i];
        switch (next.unicode()) {
        case 's':
            out += u' ';
            break;
        case 'n':
            out += u'\n';
            break;
        case 't':
            out += u'\t';
            break;
        case 'r':
            out += u'\r';
            break;
        default:
            out += next;
            break;
        }
    }
    return out;
}

QString environment(const char* name)
{
    return qEnvironmentVariable(name);
}

// The message locale as the C library would choose it.
QString messageLocale()
{
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = environment(name);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

} // namespace

DesktopEntries::DesktopEntries(QStringList dataDirs, QStringList localeNames)
    : m_dataDirs(std::move(dataDirs)), m_localeNames(std::move(localeNames))
{
}

DesktopEntries DesktopEntries::fromEnvironment()
{
    QStringList dirs;
    QString home = environment("XDG_DATA_HOME");
    if (home.isEmpty() && !environment("HOME").isEmpty())
        home = environment("HOME") + QStringLiteral("/.local/share");
    if (!home.isEmpty())
        dirs << home;
    QString system = environment("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share:/usr/share");
    for (const auto& dir : system.split(u':', Qt::SkipEmptyParts))
        dirs << dir;
    dirs.removeDuplicates();

    // LANGUAGE, a list of preferences, applies only under a real locale (as in gettext).
    const QString locale = messageLocale();
    QStringList names;
    if (!localeKeys(locale).isEmpty()) {
        QStringList preferences = environment("LANGUAGE").split(u':', Qt::SkipEmptyParts);
        preferences << locale;
        for (const auto& preference : preferences)
            names << localeKeys(preference);
        names.removeDuplicates();
    }
    return DesktopEntries(std::move(dirs), std::move(names));
}

QStringList DesktopEntries::localeKeys(const QString& locale)
{
    if (locale.isEmpty() || locale == u"C" || locale.startsWith(u"C.") || locale == u"POSIX")
        return {};
    QString rest = locale;
    QString modifier;
    if (const auto at = rest.indexOf(u'@'); at >= 0) {
        modifier = rest.mid(at + 1);
        rest.truncate(at);
    }
    if (const auto dot = rest.indexOf(u'.'); dot >= 0)
        rest.truncate(dot);
    QString lang = rest;
    QString country;
    if (const auto underscore = rest.indexOf(u'_'); underscore >= 0) {
        lang = rest.left(underscore);
        country = rest.mid(underscore + 1);
    }
    if (lang.isEmpty())
        return {};

    QStringList keys;
    if (!country.isEmpty() && !modifier.isEmpty())
        keys << lang + u'_' + country + u'@' + modifier;
    if (!country.isEmpty())
        keys << lang + u'_' + country;
    if (!modifier.isEmpty())
        keys << lang + u'@' + modifier;
    keys << lang;
    return keys;
}

std::optional<DesktopEntries::Entry> DesktopEntries::parse(const QByteArray& contents,
                                                           const QStringList& localeNames)
{
    // Only the [Desktop Entry] group counts; the first occurrence of a key wins.
    std::map<QString, QString> keys;
    bool inEntry = false;
    bool seenEntry = false;
    for (const QByteArray& rawLine : contents.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (inEntry)
                break;
            inEntry = !seenEntry && line == u"[Desktop Entry]";
            seenEntry = seenEntry || inEntry;
            continue;
        }
        if (!inEntry)
            continue;
        const auto equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (key != u"Name" && !key.startsWith(u"Name[") && key != u"StartupWMClass" &&
            key != u"Hidden" && key != u"Type")
            continue;
        keys.try_emplace(key, unescaped(QStringView(line).mid(equals + 1).trimmed()));
    }
    if (!seenEntry)
        return std::nullopt;

    const auto value = [&keys](const QString& key) {
        const auto found = keys.find(key);
        return found == keys.end() ? QString() : found->second;
    };
    Entry entry;
    for (const auto& locale : localeNames) {
        if (const QString name = value(QStringLiteral("Name[%1]").arg(locale)); !name.isEmpty()) {
            entry.name = name;
            break;
        }
    }
    if (!entry.name && !value(QStringLiteral("Name")).isEmpty())
        entry.name = value(QStringLiteral("Name"));
    entry.startupWMClass = value(QStringLiteral("StartupWMClass"));
    entry.hidden = value(QStringLiteral("Hidden")) == u"true";
    const QString type = value(QStringLiteral("Type"));
    entry.application = type.isEmpty() || type == u"Application";
    return entry;
}

std::optional<QString> DesktopEntries::nameIn(const QByteArray& contents,
                                              const QStringList& localeNames)
{
    const auto entry = parse(contents, localeNames);
    return entry ? entry->name : std::nullopt;
}

std::optional<QString> DesktopEntries::name(const QString& desktopId) const
{
    // A desktop-file id names a file, never a path.
    if (desktopId.isEmpty() || desktopId.contains(u'/') || desktopId.startsWith(u'.'))
        return std::nullopt;
    const QString fileName =
        desktopId.endsWith(u".desktop") ? desktopId : desktopId + QStringLiteral(".desktop");
    for (const auto& dir : m_dataDirs) {
        const QString path = dir + QStringLiteral("/applications/") + fileName;
        if (const auto contents = RegularFile::read(path, maximumEntrySize))
            // The first folder that holds the entry decides, even when it lacks a Name.
            return nameIn(*contents, m_localeNames);
    }
    return std::nullopt;
}
