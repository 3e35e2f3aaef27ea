#pragma once

#include <QString>

#include <functional>

/** Text rules that count and classify as a person reads: grapheme clusters and code points. */
namespace UnicodeText {

/** Number of extended grapheme clusters. */
qsizetype characterCount(const QString& text);

/** The first n extended grapheme clusters (the whole text when it has n or fewer). */
QString firstCharacters(const QString& text, qsizetype n);

/** Calls visit with each extended grapheme cluster in order. */
void forEachCharacter(const QString& text, const std::function<void(QStringView)>& visit);

/** The code point has a Unicode numeric type (decimal, digit or numeric). */
bool isNumeric(char32_t codePoint);

/** Every code point of the text is numeric, and there is at least one. */
bool isAllNumeric(QStringView text);

/** Letters (Lu Ll Lt Lm Lo) and numbers (Nd Nl No). */
bool isLetterOrNumber(char32_t codePoint);

/** Strips Unicode White_Space (line breaks included) from both ends. */
QString trimWhiteSpace(const QString& text);

/** Full Unicode lower-casing (root locale), which may change the length. */
QString lowercased(const QString& text);

} // namespace UnicodeText
