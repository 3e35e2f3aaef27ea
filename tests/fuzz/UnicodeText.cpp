// The text rules behind the digit boxes and the names shown: characters, numerals, trimming
// and lower-casing of any text, lone surrogates included.
#include "FuzzSupport.h"

#include "Support/UnicodeText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = size > 0 && data[0] & 1 ? Fuzz::utf16(data + 1, size - 1)
                                                  : QString::fromUtf8(Fuzz::bytes(data, size));

    // The digit boxes keep the numerals of what was typed or pasted.
    qsizetype numerals = 0;
    for (const char32_t codePoint : text.toUcs4())
        numerals += UnicodeText::isNumeric(codePoint) ? 1 : 0;
    Fuzz::check(UnicodeText::isAllNumeric(text) == (numerals > 0 && numerals == text.toUcs4().size()),
                "isAllNumeric disagrees with isNumeric");

    const qsizetype count = UnicodeText::characterCount(text);
    qsizetype visited = 0;
    QString joined;
    UnicodeText::forEachCharacter(text, [&](QStringView character) {
        Fuzz::check(!character.isEmpty(), "an empty character");
        joined += character;
        ++visited;
    });
    Fuzz::check(visited == count, "forEachCharacter and characterCount disagree");
    Fuzz::check(joined == text, "the characters do not make up the text");
    for (const qsizetype n : {qsizetype(0), qsizetype(1), qsizetype(6), count}) {
        const QString first = UnicodeText::firstCharacters(text, n);
        Fuzz::check(text.startsWith(first), "firstCharacters is not a prefix");
        Fuzz::check(UnicodeText::characterCount(first) == std::min(n, count),
                    "firstCharacters keeps another number of characters");
    }
    const QString trimmed = UnicodeText::trimWhiteSpace(text);
    Fuzz::check(text.contains(trimmed), "trimming made up text");
    (void)UnicodeText::lowercased(text);
    for (const char32_t codePoint : text.toUcs4())
        (void)UnicodeText::isLetterOrNumber(codePoint);
    return 0;
}
