#include "Support/UnicodeText.h"
#include "TestSupport/QtPrinters.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace {

const QString kFlag = QString::fromUtf8("\U0001F1EB\U0001F1F7");            // two scalars
const QString kFamily = QString::fromUtf8("\U0001F468\u200D\U0001F469\u200D\U0001F467"); // ZWJ
const QString kAccented = QString::fromUtf8("e\u0301");                          // combining
const QString kHangul = QString::fromUtf8("\u1100\u1161\u11A8");                 // jamo

TEST(UnicodeText, CharacterCountIsGraphemeClusters)
{
    EXPECT_EQ(UnicodeText::characterCount(QString()), 0);
    EXPECT_EQ(UnicodeText::characterCount("abc"), 3);
    EXPECT_EQ(UnicodeText::characterCount(kFlag), 1);
    EXPECT_EQ(UnicodeText::characterCount(kFamily), 1);
    EXPECT_EQ(UnicodeText::characterCount(kAccented), 1);
    EXPECT_EQ(UnicodeText::characterCount(kHangul), 1);
    EXPECT_EQ(UnicodeText::characterCount("\r\n"), 1);
    EXPECT_EQ(UnicodeText::characterCount(kFlag + kFamily + "x" + kAccented), 4);
}

TEST(UnicodeText, FirstCharactersKeepsWholeClusters)
{
    EXPECT_EQ(UnicodeText::firstCharacters("abcdef", 3), QStringLiteral("abc"));
    EXPECT_EQ(UnicodeText::firstCharacters("abc", 3), QStringLiteral("abc"));
    EXPECT_EQ(UnicodeText::firstCharacters("ab", 3), QStringLiteral("ab"));
    EXPECT_EQ(UnicodeText::firstCharacters("abc", 0), QString());
    EXPECT_EQ(UnicodeText::firstCharacters(kFlag + kFlag + kFlag, 2), kFlag + kFlag);
    EXPECT_EQ(UnicodeText::firstCharacters(kFamily + "x", 1), kFamily);
    EXPECT_EQ(UnicodeText::firstCharacters("a" + kAccented + "b", 2), "a" + kAccented);
}

TEST(UnicodeText, ForEachCharacter)
{
    QStringList seen;
    UnicodeText::forEachCharacter("a" + kFlag + kAccented, [&](QStringView c) { seen.append(c.toString()); });
    EXPECT_EQ(seen, (QStringList{"a", kFlag, kAccented}));
}

TEST(UnicodeText, GeneralCategories)
{
    for (const char32_t c : {U'a', U'Z', U'\u01C5' /* Lt */, U'\u02B0' /* Lm */, U'\u05D0' /* Lo */,
                             U'5', U'\u0663' /* Nd */, U'\u2162' /* Nl */, U'\u00B2' /* No */, U'\U00010400'})
        EXPECT_TRUE(UnicodeText::isLetterOrNumber(c)) << static_cast<unsigned>(c);
    for (const char32_t c : {U' ', U'.', U'\u2019', U'\u0301' /* Mn */, U'$', U'\U0001F600', U'\t', U'\u00A0'})
        EXPECT_FALSE(UnicodeText::isLetterOrNumber(c)) << static_cast<unsigned>(c);
}

TEST(UnicodeText, NumericType)
{
    EXPECT_TRUE(UnicodeText::isNumeric(U'7'));
    EXPECT_TRUE(UnicodeText::isNumeric(U'\u0663'));
    EXPECT_TRUE(UnicodeText::isNumeric(U'\u00BD')); // ½: numeric
    EXPECT_TRUE(UnicodeText::isNumeric(U'\u4E09')); // 三: numeric
    EXPECT_FALSE(UnicodeText::isNumeric(U'a'));
    EXPECT_TRUE(UnicodeText::isAllNumeric(QStringLiteral("123456")));
    EXPECT_TRUE(UnicodeText::isAllNumeric(QString::fromUtf8("\u0661\u0662\u0663")));
    EXPECT_FALSE(UnicodeText::isAllNumeric(QStringLiteral("12a")));
    EXPECT_FALSE(UnicodeText::isAllNumeric(QString()));
}

TEST(UnicodeText, TrimWhiteSpace)
{
    EXPECT_EQ(UnicodeText::trimWhiteSpace(QString::fromUtf8(" \t\n\u00A0\u2028abc d\u3000\r\n")), QStringLiteral("abc d"));
    EXPECT_EQ(UnicodeText::trimWhiteSpace("abc"), QStringLiteral("abc"));
    EXPECT_EQ(UnicodeText::trimWhiteSpace("   "), QString());
    EXPECT_EQ(UnicodeText::trimWhiteSpace(QString::fromUtf8("\u200Bx")), QString::fromUtf8("\u200Bx"))
        << "ZERO WIDTH SPACE is not White_Space";
    // Lone surrogates are kept as they are, not turned into U+FFFD, and stop the trimming.
    const QChar lone(char16_t(0xD800));
    EXPECT_EQ(UnicodeText::trimWhiteSpace(QString(u'\u0085') + u'2' + lone), QString(u'2') + lone);
    EXPECT_EQ(UnicodeText::trimWhiteSpace(QString(lone) + u' '), QString(lone));
    EXPECT_EQ(UnicodeText::trimWhiteSpace(QString::fromUtf8(" \U0001F600 ")), QString::fromUtf8("\U0001F600"));
}

TEST(UnicodeText, FullLowerCasing)
{
    EXPECT_EQ(UnicodeText::lowercased("ALLOW"), QStringLiteral("allow"));
    EXPECT_EQ(UnicodeText::lowercased(QString::fromUtf8("\u212A")), QStringLiteral("k"));
    EXPECT_EQ(UnicodeText::lowercased(QString::fromUtf8("\u0130")), QString::fromUtf8("i\u0307"));
    EXPECT_EQ(UnicodeText::lowercased(QString::fromUtf8("\u0391\u0392")), QString::fromUtf8("\u03B1\u03B2"));
}

} // namespace
