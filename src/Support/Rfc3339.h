#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

/** Instants on the wire: RFC 3339 date-time text. */
namespace Rfc3339 {

/** UTC with whole seconds and "Z", as 2025-03-01T08:15:00Z; a fraction held is dropped. */
QString format(const QDateTime& instant);

/**
 * The date-decoding rule: the full form with a fraction of a second, else without one;
 * the offset "Z" or a signed hh:mm. Anything else gives nothing (a lower-case "t" or "z"
 * too). Fractions beyond milliseconds are accepted and cut to milliseconds.
 */
std::optional<QDateTime> parse(const QString& text);

} // namespace Rfc3339
