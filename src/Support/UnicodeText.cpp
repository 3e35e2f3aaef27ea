#include "Support/UnicodeText.h"

#include <QList>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace UnicodeText {
namespace {

icu::UnicodeString toIcu(QStringView text)
{
    return icu::UnicodeString(reinterpret_cast<const UChar*>(text.utf16()),
                              static_cast<int32_t>(text.size()));
}

/** Calls visit(start, end) in UTF-16 units for each grapheme cluster; stops when it returns false. */
template <typename Visit>
void forEachBoundary(const QString& text, Visit visit)
{
    if (text.isEmpty())
        return;
    UErrorCode status = U_ZERO_ERROR;
    // A break iterator is costly to make; one per thread is kept and reset for each text.
    thread_local std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (!iterator || U_FAILURE(status)) {
        // Without ICU data every UTF-16 unit counts as one character: never more than the text.
        for (qsizetype i = 0; i < text.size(); ++i)
            if (!visit(i, i + 1))
                return;
        return;
    }
    const icu::UnicodeString icuText = toIcu(text);
    iterator->setText(icuText);
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE;
         start = end, end = iterator->next()) {
        if (!visit(start, end))
            return;
    }
}

} // namespace

qsizetype characterCount(const QString& text)
{
    qsizetype count = 0;
    forEachBoundary(text, [&count](qsizetype, qsizetype) {
        ++count;
        return true;
    });
    return count;
}

QString firstCharacters(const QString& text, qsizetype n)
{
    if (n <= 0)
        return {};
    if (text.size() <= n)
        return text; // n UTF-16 units never hold more than n clusters
    qsizetype count = 0;
    qsizetype cut = text.size();
    forEachBoundary(text, [&](qsizetype, qsizetype end) {
        if (++count == n) {
            cut = end;
            return false;
        }
        return true;
    });
    return text.left(cut);
}

void forEachCharacter(const QString& text, const std::function<void(QStringView)>& visit)
{
    forEachBoundary(text, [&](qsizetype start, qsizetype end) {
        visit(QStringView(text).mid(start, end - start));
        return true;
    });
}

bool isNumeric(char32_t codePoint)
{
    return u_getIntPropertyValue(static_cast<UChar32>(codePoint), UCHAR_NUMERIC_TYPE) !=
           U_NT_NONE;
}

bool isAllNumeric(QStringView text)
{
    if (text.isEmpty())
        return false;
    for (const uint c : text.toUcs4())
        if (!isNumeric(c))
            return false;
    return true;
}

bool isLetterOrNumber(char32_t codePoint)
{
    const auto mask = U_GC_L_MASK | U_GC_N_MASK;
    return (U_GET_GC_MASK(static_cast<UChar32>(codePoint)) & mask) != 0;
}

QString trimWhiteSpace(const QString& text)
{
    // Walks the UTF-16 units themselves: a lone surrogate stays as it is (toUcs4 would make it
    // U+FFFD), and it is not white space, so trimming stops there.
    const auto isSpace = [](char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); };
    qsizetype begin = 0, end = text.size();
    while (begin < end) {
        const bool pair = begin + 1 < end && text[begin].isHighSurrogate() &&
                          text[begin + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(text[begin], text[begin + 1])
                                : text[begin].unicode();
        if (!isSpace(c))
            break;
        begin += pair ? 2 : 1;
    }
    while (end > begin) {
        const bool pair = end - 2 >= begin && text[end - 1].isLowSurrogate() &&
                          text[end - 2].isHighSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(text[end - 2], text[end - 1])
                                : text[end - 1].unicode();
        if (!isSpace(c))
            break;
        end -= pair ? 2 : 1;
    }
    if (begin == 0 && end == text.size())
        return text;
    return text.mid(begin, end - begin);
}

QString lowercased(const QString& text)
{
    icu::UnicodeString icuText = toIcu(text);
    icuText.toLower(icu::Locale::getRoot());
    return QString(reinterpret_cast<const QChar*>(icuText.getBuffer()), icuText.length());
}

} // namespace UnicodeText
