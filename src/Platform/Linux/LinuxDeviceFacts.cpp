#include "Platform/Linux/LinuxDeviceFacts.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <sys/utsname.h>
#include <unistd.h>

#include <climits>

namespace {

// Values firmware writes when the vendor set none; many machines share them, so they say
// nothing about this one.
bool isPlaceholderUuid(const QString& uuid)
{
    static const QStringList placeholders = {
        QStringLiteral("00000000-0000-0000-0000-000000000000"),
        QStringLiteral("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"),
        QStringLiteral("03000200-0400-0500-0006-000700080009"),
    };
    return placeholders.contains(uuid);
}

/** One value of an environment-style file, with its shell quoting removed. */
QString unquote(QStringView value)
{
    enum class Quote { none, single, dual } quote = Quote::none;
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        switch (quote) {
        case Quote::none:
            if (c == u'"')
                quote = Quote::dual;
            else if (c == u'\'')
                quote = Quote::single;
            else if (c == u'\\' && i + 1 < value.size())
                text += value[++i];
            else
                text += c;
            break;
        case Quote::single:
            if (c == u'\'')
                quote = Quote::none;
            else
                text += c;
            break;
        case Quote::dual:
            if (c == u'"')
                quote = Quote::none;
            else if (c == u'\\' && i + 1 < value.size() &&
                     QStringView(u"\"\\`$").contains(value[i + 1]))
                text += value[++i];
            else
                text += c;
            break;
        }
    }
    return text;
}

} // namespace

LinuxDeviceFacts::LinuxDeviceFacts(QString rootDirectory) : m_root(std::move(rootDirectory)) {}

std::optional<QString> LinuxDeviceFacts::hardwareUuid() const
{
    static const QRegularExpression uuidForm(QRegularExpression::anchoredPattern(QStringLiteral(
        "[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")));
    static const QRegularExpression machineIdForm(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9A-Fa-f]{32}")));

    if (const auto product = readSmallFile(QStringLiteral("sys/class/dmi/id/product_uuid"))) {
        const QString uuid = product->trimmed().toUpper();
        if (uuidForm.match(uuid).hasMatch() && !isPlaceholderUuid(uuid))
            return uuid;
    }
    if (const auto machine = readSmallFile(QStringLiteral("etc/machine-id"))) {
        const QString id = machine->trimmed().toUpper();
        if (machineIdForm.match(id).hasMatch() && id != QString(32, u'0')) {
            return id.left(8) + u'-' + id.mid(8, 4) + u'-' + id.mid(12, 4) + u'-' + id.mid(16, 4) +
                   u'-' + id.mid(20);
        }
    }
    return std::nullopt;
}

std::optional<QString> LinuxDeviceFacts::hostDisplayName() const
{
    if (const auto info = readSmallFile(QStringLiteral("etc/machine-info")))
        if (auto pretty = parsePrettyHostname(*info))
            return pretty;
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return std::nullopt;
    return QString::fromLocal8Bit(name);
}

OsVersion LinuxDeviceFacts::osVersion() const
{
    utsname system{};
    if (uname(&system) != 0)
        return {};
    return parseKernelRelease(QString::fromLatin1(system.release));
}

OsVersion LinuxDeviceFacts::parseKernelRelease(const QString& release)
{
    static const QRegularExpression leading(
        QStringLiteral("^(\\d{1,9})(?:\\.(\\d{1,9}))?(?:\\.(\\d{1,9}))?(?!\\d)"));
    const auto match = leading.match(release);
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt()};
}

std::optional<QString> LinuxDeviceFacts::parsePrettyHostname(const QString& machineInfo)
{
    std::optional<QString> pretty;
    for (const QString& rawLine : machineInfo.split(u'\n')) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        const auto equals = line.indexOf(u'=');
        if (equals < 0 || QStringView(line).left(equals).trimmed() != u"PRETTY_HOSTNAME")
            continue;
        pretty = unquote(QStringView(line).mid(equals + 1).trimmed()); // the last one counts
    }
    if (!pretty || pretty->trimmed().isEmpty())
        return std::nullopt;
    return pretty;
}

std::optional<QString> LinuxDeviceFacts::readSmallFile(const QString& relativePath) const
{
    QFile file(QDir(m_root).filePath(relativePath));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(4096);
    if (bytes.isEmpty())
        return std::nullopt;
    return QString::fromUtf8(bytes);
}

const DeviceFacts& DeviceFacts::system()
{
    static const LinuxDeviceFacts facts;
    return facts;
}
