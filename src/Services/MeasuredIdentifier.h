#pragma once

#include <QString>

/**
 * Which application identifiers usage measurement counts: a letter first, then at least two
 * dot-separated parts of letters, digits, "_" and "-", and at most 200 characters. Any thread.
 */
namespace MeasuredIdentifier {

constexpr qsizetype maximumLength = 200;

[[nodiscard]] bool accepts(const QString& identifier);

} // namespace MeasuredIdentifier
