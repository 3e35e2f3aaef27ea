#include "Services/PairingCode.h"

#include "Support/UnicodeText.h"

bool isPairingCode(const QString& code)
{
    if (UnicodeText::characterCount(code) != 6)
        return false;
    bool numeric = true;
    UnicodeText::forEachCharacter(code, [&numeric](QStringView character) {
        numeric = numeric && UnicodeText::isAllNumeric(character);
    });
    return numeric;
}
