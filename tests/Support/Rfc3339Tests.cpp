#include "Support/Rfc3339.h"
#include "TestSupport/QtPrinters.h"

#include <QTimeZone>

#include <gtest/gtest.h>

namespace {

QDateTime utc(int y, int mo, int d, int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

TEST(Rfc3339, FormatIsUtcWholeSecondsWithZ)
{
    EXPECT_EQ(Rfc3339::format(utc(2025, 3, 1, 8, 15, 0, 900)), QStringLiteral("2025-03-01T08:15:00Z"));
    EXPECT_EQ(Rfc3339::format(QDateTime(QDate(2025, 3, 1), QTime(0, 30), QTimeZone(-5 * 3600))),
              QStringLiteral("2025-03-01T05:30:00Z"));
    EXPECT_EQ(Rfc3339::format(utc(1999, 12, 31, 23, 59, 59, 999)), QStringLiteral("1999-12-31T23:59:59Z"));
}

TEST(Rfc3339, DateDecodingRule)
{
    struct Case {
        const char* text;
        std::optional<QDateTime> expected;
    };
    const Case cases[] = {
        {"2025-03-01T08:15:00Z", utc(2025, 3, 1, 8, 15, 0)},
        {"2025-03-01T08:15:00.123Z", utc(2025, 3, 1, 8, 15, 0, 123)},
        {"2025-03-01T08:15:00.1Z", utc(2025, 3, 1, 8, 15, 0, 100)},
        {"2025-03-01T08:15:00.123456789Z", utc(2025, 3, 1, 8, 15, 0, 123)},
        {"2025-03-01T09:15:00+01:00", utc(2025, 3, 1, 8, 15, 0)},
        {"2025-03-01T03:45:00-04:30", utc(2025, 3, 1, 8, 15, 0)},
        {"2025-03-01T08:15:00.5+00:00", utc(2025, 3, 1, 8, 15, 0, 500)},
        {"2025-03-01T00:15:00+01:00", utc(2025, 2, 28, 23, 15, 0)},
        {"2024-02-29T00:00:00Z", utc(2024, 2, 29, 0, 0, 0)},
        {"2025-03-01T08:15:00z", std::nullopt},
        {"2025-03-01 08:15:00Z", std::nullopt},
        {"2025-03-01", std::nullopt},
        {"2025-03-01T08:15Z", std::nullopt},
        {"2025-03-01T08:15:00", std::nullopt},
        {"2025-03-01T08:15:00.Z", std::nullopt},
        {"2025-03-01T08:15:00+0100", std::nullopt},
        {"2025-03-01T08:15:00+01", std::nullopt},
        {"2025-02-29T08:15:00Z", std::nullopt},
        {"2025-13-01T08:15:00Z", std::nullopt},
        {"2025-03-01T24:00:00Z", std::nullopt},
        {"2025-03-01T08:60:00Z", std::nullopt},
        {"2025-03-01T08:15:60Z", std::nullopt},
        {"2025-03-01t08:15:00Z", std::nullopt},
        {" 2025-03-01T08:15:00Z", std::nullopt},
        {"2025-03-01T08:15:00Z ", std::nullopt},
        {"\u0662\u0660\u0662\u0665-03-01T08:15:00Z", std::nullopt},
        {"", std::nullopt},
        {"1740816900", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Rfc3339::parse(QString::fromUtf8(c.text)), c.expected) << c.text;
}

TEST(Rfc3339, NothingBeforeOrAfterTheInstant)
{
    // The whole text is the instant: no line end (which a regular expression's "$" lets
    // through), blank, NUL or other character around it or inside it.
    const QString valid = QStringLiteral("2025-03-01T08:15:00Z");
    const QString withFraction = QStringLiteral("2025-03-01T08:15:00.123Z");
    ASSERT_TRUE(Rfc3339::parse(valid).has_value());
    for (const QString& around : {QStringLiteral("\n"), QStringLiteral("\r\n"), QStringLiteral("\r"),
                                  QStringLiteral(" "), QStringLiteral("\t"), QString(QChar(0)),
                                  QString(QChar(0x2028)), QString(QChar(0x85))}) {
        const auto name = around.toUtf8().toPercentEncoding().toStdString();
        EXPECT_EQ(Rfc3339::parse(valid + around), std::nullopt) << "after: " << name;
        EXPECT_EQ(Rfc3339::parse(withFraction + around), std::nullopt) << "after: " << name;
        EXPECT_EQ(Rfc3339::parse(around + valid), std::nullopt) << "before: " << name;
    }
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("2025-03-01T08:15:00Z\n2025-03-01T08:15:00Z")), std::nullopt);
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("2025-03-01T08:15:00") + QChar(0) + u'Z'), std::nullopt);
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("2025-03-01T08:15:00.1") + QChar(0) + u'Z'), std::nullopt);
}

TEST(Rfc3339, OffsetMayNotLeaveTheFourDigitYears)
{
    // Once the offset is applied these are years 10000 and 0, which format() cannot write back.
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("9999-12-31T23:59:29.99-23:59")), std::nullopt);
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("0001-01-01T00:00:00+00:01")), std::nullopt);
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("9999-12-31T23:59:59Z")), utc(9999, 12, 31, 23, 59, 59));
    EXPECT_EQ(Rfc3339::parse(QStringLiteral("0001-01-01T00:01:00+00:01")), utc(1, 1, 1, 0, 0, 0));
}

TEST(Rfc3339, RoundTripDropsTheFraction)
{
    const QDateTime t = utc(2025, 3, 1, 8, 15, 0, 900);
    EXPECT_EQ(Rfc3339::parse(Rfc3339::format(t)), utc(2025, 3, 1, 8, 15, 0));
}

} // namespace
