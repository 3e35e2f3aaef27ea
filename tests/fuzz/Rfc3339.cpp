// The date rule: any text gives an instant or nothing; an instant's own text reads back to it.
#include "FuzzSupport.h"

#include "Support/Rfc3339.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(Fuzz::bytes(data, size));
    const auto instant = Rfc3339::parse(text);
    if (!instant)
        return 0;
    Fuzz::check(instant->isValid(), "an accepted date is not a valid instant");
    // Only the characters of the date-time form, whatever the pattern engine lets through.
    for (const QChar c : text) {
        const bool allowed = (c >= u'0' && c <= u'9') || c == u'-' || c == u':' || c == u'.' ||
                             c == u'+' || c == u'T' || c == u'Z';
        Fuzz::check(allowed, "an accepted date holds a character outside the date-time form");
    }
    const QString formatted = Rfc3339::format(*instant);
    const auto again = Rfc3339::parse(formatted);
    Fuzz::check(again.has_value(), "a formatted date does not read back");
    // Compared as instants: toSecsSinceEpoch() rounds towards zero before 1970.
    const QDateTime utc = instant->toUTC();
    Fuzz::check(*again == utc.addMSecs(-utc.time().msec()),
                "a formatted date reads back as another second");
    return 0;
}
