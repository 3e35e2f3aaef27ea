#include "Platform/Linux/NetworkInterfaceClassifier.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using Kind = NetworkInterfaceClassifier::Kind;

struct Entry {
    const char* path;    // below the interface's folder; ending in "/" makes a folder
    const char* content; // for files
};

struct Case {
    const char* interface;
    std::vector<Entry> entries;
    Kind expected;
};

TEST(NetworkInterfaceClassifier, classifiesFromSysfs)
{
    const std::vector<Case> cases = {
        {"wlan0", {{"wireless/", ""}, {"type", "1\n"}}, Kind::wifi},
        {"wlp2s0", {{"phy80211/", ""}, {"type", "1\n"}}, Kind::wifi},
        {"wwan0", {{"uevent", "INTERFACE=wwan0\nDEVTYPE=wwan\n"}, {"type", "1\n"}}, Kind::cellular},
        {"enp3s0",
         {{"uevent", "INTERFACE=enp3s0\nIFINDEX=2\n"}, {"type", "1\n"}},
         Kind::wiredEthernet},
        {"br0", {{"uevent", "DEVTYPE=bridge\n"}, {"type", "1\n"}}, Kind::wiredEthernet},
        {"tun0", {{"type", "65534\n"}}, Kind::other},
        {"lo", {{"type", "772\n"}}, Kind::other},
        {"odd0", {{"type", "ether\n"}}, Kind::other},
        {"bare0", {}, Kind::other},
    };

    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString net = root.filePath(QStringLiteral("net"));
    for (const auto& c : cases) {
        const QString folder = net + u'/' + QString::fromLatin1(c.interface);
        ASSERT_TRUE(QDir().mkpath(folder));
        for (const auto& e : c.entries) {
            const QString path = folder + u'/' + QString::fromLatin1(e.path);
            if (path.endsWith(u'/')) {
                ASSERT_TRUE(QDir().mkpath(path));
                continue;
            }
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(e.content);
        }
    }
    // A Wi-Fi interface beside the root, for a name that tries to climb out of it.
    ASSERT_TRUE(QDir().mkpath(root.filePath(QStringLiteral("escape/wireless"))));

    const NetworkInterfaceClassifier classifier(net);
    for (const auto& c : cases)
        EXPECT_EQ(classifier.classify(QString::fromLatin1(c.interface)), c.expected) << c.interface;
    for (const char* name : {"missing0", "", ".", "..", "../escape"})
        EXPECT_EQ(classifier.classify(QString::fromLatin1(name)), Kind::other) << name;
}

} // namespace
