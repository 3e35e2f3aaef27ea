#include "Services/DeviceFingerprint.h"
#include "TestSupport/FixedDeviceFacts.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

TEST(DeviceFingerprintTest, TheSeedIsTheHardwareUuidElseTheHostNameElseUnknownMac)
{
    // Digests of "<seed>|fprint.local.v3", computed with sha256sum.
    struct Case {
        const char* name;
        std::optional<QString> uuid;
        std::optional<QString> host;
        const char* expected;
    };
    const Case cases[] = {
        {"hardware uuid wins", QStringLiteral("6F9619FF-8B86-D011-B42D-00C04FC964FF"),
         QStringLiteral("Anna’s Laptop"),
         "28d4f687239ef7f6a6b5eafd2f24a6fb923df9bd10d24a72e7e85805ee3a79cf"},
        {"host name, as UTF-8", std::nullopt, QStringLiteral("Anna’s Laptop"),
         "fdc2d00425c6a3f622b7f6f7dd57a15069f4d3f840ad799995fb07cb63fa8e9a"},
        {"neither", std::nullopt, std::nullopt,
         "ecfd8a52bc5baf21ef614e75b182958fea3ce4713c605e8291415c8667f707af"},
    };
    for (const auto& c : cases) {
        const FixedDeviceFacts facts(c.uuid, c.host, {});
        EXPECT_EQ(DeviceFingerprint::generate(facts), QString::fromLatin1(c.expected)) << c.name;
        EXPECT_EQ(DeviceFingerprint::hardwareUuid(facts), c.uuid) << c.name;
    }
}

TEST(DeviceFingerprintTest, TheRunningDeviceGivesTheSame64HexDigitsEveryTime)
{
    const QString first = DeviceFingerprint::generate();
    EXPECT_TRUE(QRegularExpression(QRegularExpression::anchoredPattern("[0-9a-f]{64}"))
                    .match(first)
                    .hasMatch())
        << first.toStdString();
    EXPECT_EQ(DeviceFingerprint::generate(), first);
}

} // namespace
