// The pairing code as the store checks what the user typed: trimmed, then six numeric
// characters.
#include "FuzzSupport.h"

#include "Services/PairingCode.h"
#include "Support/UnicodeText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString typed = size > 0 && data[0] & 1 ? Fuzz::utf16(data + 1, size - 1)
                                                  : QString::fromUtf8(Fuzz::bytes(data, size));
    const QString code = UnicodeText::trimWhiteSpace(typed);
    if (!isPairingCode(code))
        return 0;
    Fuzz::check(UnicodeText::characterCount(code) == 6, "an accepted code is not six characters");
    for (const char32_t codePoint : code.toUcs4())
        Fuzz::check(UnicodeText::isNumeric(codePoint), "an accepted code holds a non-numeral");
    return 0;
}
