#include "Platform/Linux/NetworkInterfaceClassifier.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <net/if_arp.h>

#include <utility>

namespace {

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

} // namespace

NetworkInterfaceClassifier::NetworkInterfaceClassifier(QString sysfsRoot)
    : m_root(std::move(sysfsRoot))
{
}

NetworkInterfaceClassifier::Kind NetworkInterfaceClassifier::classify(const QString& name) const
{
    if (name.isEmpty() || name.contains(u'/') || name == u"." || name == u"..")
        return Kind::other;
    const QDir dir(m_root + u'/' + name);
    if (!dir.exists())
        return Kind::other;

    // Wi-Fi and mobile-broadband links usually report ARPHRD_ETHER as well, so they are told
    // apart first.
    if (QFileInfo::exists(dir.filePath(QStringLiteral("wireless"))) ||
        QFileInfo::exists(dir.filePath(QStringLiteral("phy80211"))))
        return Kind::wifi;

    const QList<QByteArray> ueventLines =
        readSmallFile(dir.filePath(QStringLiteral("uevent"))).split('\n');
    for (const QByteArray& line : ueventLines) {
        if (line.trimmed() == "DEVTYPE=wwan")
            return Kind::cellular;
    }

    bool ok = false;
    const int type = readSmallFile(dir.filePath(QStringLiteral("type"))).trimmed().toInt(&ok);
    if (ok && type == ARPHRD_ETHER)
        return Kind::wiredEthernet;
    return Kind::other;
}
