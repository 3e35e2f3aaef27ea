#include "Support/Rfc3339.h"

#include <QDate>
#include <QRegularExpression>
#include <QTime>

namespace Rfc3339 {

QString format(const QDateTime& instant)
{
    return instant.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + u'Z';
}

std::optional<QDateTime> parse(const QString& text)
{
    // Anchored to the whole text (\A...\z): "^...$" would let a line feed through at the end.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(
        R"(([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})(?:\.([0-9]+))?(?:(Z)|([+-])([0-9]{2}):([0-9]{2})))")));
    const auto m = pattern.match(text);
    if (!m.hasMatch())
        return std::nullopt;

    const auto number = [&m](int group) { return m.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    const int hour = number(4), minute = number(5), second = number(6);
    // A leap second (:60) has no representation here; refusing it beats shifting the instant.
    if (!date.isValid() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    int msec = 0;
    if (m.hasCaptured(7)) {
        const QString fraction = (m.captured(7) + QStringLiteral("00")).left(3);
        msec = fraction.toInt();
    }
    int offsetSeconds = 0;
    if (m.hasCaptured(9)) {
        const int offsetHours = number(10), offsetMinutes = number(11);
        if (offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = (offsetHours * 60 + offsetMinutes) * 60;
        if (m.capturedView(9) == u'-')
            offsetSeconds = -offsetSeconds;
    }

    const QDateTime local(date, QTime(hour, minute, second, msec), Qt::UTC);
    // An offset can carry the instant out of the four-digit years (9999-12-31T23:59:00-01:00):
    // it could not be written back in this form, so it is a bad date too.
    const QDateTime instant = local.addSecs(-offsetSeconds);
    const int year = instant.date().year();
    if (year < 1 || year > 9999)
        return std::nullopt;
    return instant;
}

} // namespace Rfc3339
