#include "Platform/Linux/DesktopEntries.h"

#include <QFile>

#include <map>

namespace {

constexpr qint64 maximumEntrySize = 1 << 20;

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

std::optional<QString> DesktopEntries::nameIn(const QByteArray& contents,
                                              const QStringList& localeNames)
{
    // Only the [Desktop Entry] group counts; the first occurrence of a key wins.
    std::map<QString, QString> names;
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
        if (key != u"Name" && !key.startsWith(u"Name["))
            continue;
        names.try_emplace(key, unescaped(QStringView(line).mid(equals + 1).trimmed()));
    }

    for (const auto& locale : localeNames) {
        const auto found = names.find(QStringLiteral("Name[%1]").arg(locale));
        if (found != names.end() && !found->second.isEmpty())
            return found->second;
    }
    const auto plain = names.find(QStringLiteral("Name"));
    if (plain != names.end() && !plain->second.isEmpty())
        return plain->second;
    return std::nullopt;
}

std::optional<QString> DesktopEntries::name(const QString& desktopId) const
{
    // A desktop-file id names a file, never a path.
    if (desktopId.isEmpty() || desktopId.contains(u'/') || desktopId.startsWith(u'.'))
        return std::nullopt;
    const QString fileName =
        desktopId.endsWith(u".desktop") ? desktopId : desktopId + QStringLiteral(".desktop");
    for (const auto& dir : m_dataDirs) {
        QFile file(dir + QStringLiteral("/applications/") + fileName);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // The first folder that holds the entry decides, even when it lacks a Name.
        return nameIn(file.read(maximumEntrySize), m_localeNames);
    }
    return std::nullopt;
}
