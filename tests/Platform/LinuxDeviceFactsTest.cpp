#include "Platform/Linux/LinuxDeviceFacts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

/** A root folder holding only the files a case writes. */
class FakeRoot {
public:
    void write(const QString& relativePath, const QByteArray& content)
    {
        const QString path = m_dir.filePath(relativePath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    [[nodiscard]] LinuxDeviceFacts facts() const { return LinuxDeviceFacts(m_dir.path()); }

private:
    QTemporaryDir m_dir;
};

const char* productUuid = "sys/class/dmi/id/product_uuid";
const char* machineId = "etc/machine-id";

TEST(LinuxDeviceFactsTest, HardwareUuidPrefersTheFirmwareUuidOverTheMachineId)
{
    struct Case {
        const char* name;
        const char* product; // nullptr: no file
        const char* machine;
        std::optional<QString> expected;
    };
    const Case cases[] = {
        {"firmware uuid, upper-cased", "6f9619ff-8b86-d011-b42d-00c04fc964ff\n",
         "3d1219c7c4c5404aaa1f6d2a48adfda4\n",
         QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF")},
        {"no firmware uuid: machine id in uuid form", nullptr, "3d1219c7c4c5404aaa1f6d2a48adfda4\n",
         QStringLiteral("3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4")},
        {"placeholder firmware uuid", "03000200-0400-0500-0006-000700080009\n",
         "3d1219c7c4c5404aaa1f6d2a48adfda4\n",
         QStringLiteral("3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4")},
        {"zero firmware uuid", "00000000-0000-0000-0000-000000000000", nullptr, std::nullopt},
        {"garbage in both", "not a uuid\n", "uninitialized\n", std::nullopt},
        {"empty files", "", "", std::nullopt},
        {"nothing at all", nullptr, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        FakeRoot root;
        if (c.product)
            root.write(productUuid, c.product);
        if (c.machine)
            root.write(machineId, c.machine);
        EXPECT_EQ(root.facts().hardwareUuid(), c.expected) << c.name;
    }
}

TEST(LinuxDeviceFactsTest, PrettyHostnameIsReadWithItsShellQuoting)
{
    struct Case {
        const char* name;
        const char* machineInfo;
        std::optional<QString> expected;
    };
    const Case cases[] = {
        {"plain", "PRETTY_HOSTNAME=Anna-Laptop\n", QStringLiteral("Anna-Laptop")},
        {"double quotes with escapes",
         "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna\\'s \\\"big\\\" $PC\"\n",
         QStringLiteral("Anna\\'s \"big\" $PC")},
        {"single quotes, typographic apostrophe", "PRETTY_HOSTNAME='Anna\xe2\x80\x99s MacBook'\n",
         QStringLiteral("Anna’s MacBook")},
        {"comment and the last assignment",
         "# PRETTY_HOSTNAME=old\nPRETTY_HOSTNAME=a\r\nPRETTY_HOSTNAME=b", QStringLiteral("b")},
        {"empty value", "PRETTY_HOSTNAME=\"\"\n", std::nullopt},
        {"blank value", "PRETTY_HOSTNAME=\"   \"\n", std::nullopt},
        {"other keys only", "ICON_NAME=computer-laptop\n", std::nullopt},
        {"a longer key", "PRETTY_HOSTNAME_X=no\n", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LinuxDeviceFacts::parsePrettyHostname(QString::fromUtf8(c.machineInfo)),
                  c.expected)
            << c.name;
}

TEST(LinuxDeviceFactsTest, HostDisplayNameFallsBackToTheHostName)
{
    FakeRoot pretty;
    pretty.write("etc/machine-info", "PRETTY_HOSTNAME=\"Anna’s Laptop\"\n");
    EXPECT_EQ(pretty.facts().hostDisplayName(), QStringLiteral("Anna’s Laptop"));

    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    FakeRoot none;
    EXPECT_EQ(none.facts().hostDisplayName(), QString::fromLocal8Bit(name));
    FakeRoot blank;
    blank.write("etc/machine-info", "PRETTY_HOSTNAME=\n");
    EXPECT_EQ(blank.facts().hostDisplayName(), QString::fromLocal8Bit(name));
}

TEST(LinuxDeviceFactsTest, KernelReleaseGivesThreeNumbers)
{
    struct Case {
        const char* release;
        OsVersion expected;
    };
    const Case cases[] = {
        {"6.1.0-18-amd64", {6, 1, 0}},
        {"6.18.44-fc-v1523", {6, 18, 44}},
        {"5.15", {5, 15, 0}},
        {"6.8.0-rc1+", {6, 8, 0}},
        {"4.19.0.1", {4, 19, 0}},
        {"7", {7, 0, 0}},
        {"", {0, 0, 0}},
        {"linux-6.1", {0, 0, 0}},
        {"99999999999.1.1", {0, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LinuxDeviceFacts::parseKernelRelease(QString::fromLatin1(c.release)), c.expected)
            << c.release;
}

TEST(LinuxDeviceFactsTest, TheRunningSystemHasAKernelVersion)
{
    EXPECT_GT(DeviceFacts::system().osVersion().majorVersion, 0);
}

} // namespace
