#pragma once

#include <QString>

/** The pairing code the user types: exactly six characters, each made of numeric code points
 * only (any script's digits). */
bool isPairingCode(const QString& code);
