#include "Platform/Linux/XdgAutostartLoginItem.h"

#include "Platform/Linux/GnomeShell/GnomeShellApplicationActivity.h"

#include "Platform/BundleInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

const QString entryGroup = QStringLiteral("[Desktop Entry]");
// Entries are a few lines; anything larger is not one of ours.
constexpr qint64 maxEntrySize = 64 * 1024;

/** The keys of the [Desktop Entry] group, first occurrence winning, values still escaped. */
QHash<QString, QString> readEntry(const QString& path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return keys;
    const QString content = QString::fromUtf8(file.read(maxEntrySize));
    bool inGroup = false;
    for (const QString& raw : content.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == entryGroup;
            continue;
        }
        const auto equals = line.indexOf(QLatin1Char('='));
        if (!inGroup || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return keys;
}

/** Undoes the escapes of a desktop-entry string value. */
QString unescapeValue(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        default:
            out += next;
        }
    }
    return out;
}

bool isExecArgumentEscape(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
           c == QLatin1Char('\\');
}

bool sameFile(const QString& a, const QString& b)
{
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    return !canonicalA.isEmpty() && canonicalA == QFileInfo(b).canonicalFilePath();
}

bool isRunnable(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(QString identifier, QString autostartDir,
                                             QString bundleDir)
    : m_identifier(std::move(identifier)), m_autostartDir(std::move(autostartDir)),
      m_bundleDir(std::move(bundleDir))
{
}

QString XdgAutostartLoginItem::entryPath() const
{
    return QDir(m_autostartDir).filePath(m_identifier + QStringLiteral(".desktop"));
}

std::optional<QString> XdgAutostartLoginItem::helperExecutable() const
{
    const QDir loginItems(QDir(m_bundleDir).filePath(QStringLiteral("LoginItems")));
    const auto bundles = loginItems.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& bundle : bundles) {
        const QString infoPath = QDir(bundle.filePath()).filePath(QStringLiteral("Info.json"));
        if (BundleInfo::fromFile(infoPath).text("CFBundleIdentifier") == m_identifier)
            return QDir(bundle.filePath()).filePath(bundle.fileName());
    }
    return std::nullopt;
}

int XdgAutostartLoginItem::status() const
{
    const auto helper = helperExecutable();
    if (!helper || !isRunnable(*helper))
        return notFound;
    if (!QFileInfo::exists(entryPath()))
        return notRegistered;
    const auto keys = readEntry(entryPath());
    if (keys.value(QStringLiteral("Hidden")) == QLatin1String("true") ||
        keys.value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false"))
        return requiresApproval;
    // An entry that starts something else (an older install, say) is not this registration.
    const auto program = programOfExec(keys.value(QStringLiteral("Exec")));
    if (!program || !sameFile(*program, *helper))
        return notRegistered;
    return enabled;
}

std::optional<QString> XdgAutostartLoginItem::registerItem()
{
    const auto helper = helperExecutable();
    if (!helper)
        return QStringLiteral("No helper with the identifier %1 in %2")
            .arg(m_identifier, QDir(m_bundleDir).filePath(QStringLiteral("LoginItems")));
    if (!isRunnable(*helper))
        return QStringLiteral("The helper program %1 is missing or not executable").arg(*helper);
    const QString program = QFileInfo(*helper).absoluteFilePath();
    for (const QChar c : program) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("The helper's path cannot be written into an autostart entry");
    }
    if (!QDir().mkpath(m_autostartDir))
        return QStringLiteral("Could not create the folder %1").arg(m_autostartDir);

    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Orvane helper\n"
                                         "Comment=Keeps this computer checking in with Orvane\n"
                                         "Exec=%1\n"
                                         "Terminal=false\n"
                                         "NoDisplay=true\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execValue(program));
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.toUtf8()) < 0 || !file.commit())
        return QStringLiteral("Could not write %1: %2").arg(entryPath(), file.errorString());
    // On GNOME the helper learns the application in front only through the agent's Shell
    // extension; one that cannot be enabled is logged and leaves the helper registered.
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':');
    if (desktops.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive))
        GnomeShellApplicationActivity::enableExtension();
    return std::nullopt;
}

QString XdgAutostartLoginItem::execValue(const QString& program)
{
    // First the quoting of an Exec argument, then the escaping of any string value.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (isExecArgumentEscape(c))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    return QString(quoted).replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
}

std::optional<QString> XdgAutostartLoginItem::programOfExec(const QString& exec)
{
    const QString value = unescapeValue(exec);
    qsizetype i = 0;
    while (i < value.size() && value.at(i) == QLatin1Char(' '))
        ++i;
    if (i == value.size())
        return std::nullopt;
    QString program;
    if (value.at(i) == QLatin1Char('"')) {
        for (++i;; ++i) {
            if (i == value.size())
                return std::nullopt; // no closing quote
            const QChar c = value.at(i);
            if (c == QLatin1Char('"'))
                break;
            if (c == QLatin1Char('\\') && i + 1 < value.size() &&
                isExecArgumentEscape(value.at(i + 1)))
                program += value.at(++i);
            else
                program += c;
        }
    } else {
        while (i < value.size() && value.at(i) != QLatin1Char(' '))
            program += value.at(i++);
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

QString XdgAutostartLoginItem::defaultAutostartDir()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("autostart"));
}

QString XdgAutostartLoginItem::runningBundleDir()
{
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath())
        .absolutePath();
}

std::unique_ptr<LoginItemService> LoginItemService::loginItem(const QString& identifier)
{
    return std::make_unique<XdgAutostartLoginItem>(identifier,
                                                   XdgAutostartLoginItem::defaultAutostartDir(),
                                                   XdgAutostartLoginItem::runningBundleDir());
}
