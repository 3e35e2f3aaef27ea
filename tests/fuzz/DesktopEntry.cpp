// A desktop entry's Name: the first line of the input lists the preferred locales (":"
// separated, each expanded as the environment's are), the rest is the file's contents.
#include "FuzzSupport.h"

#include "Platform/Linux/DesktopEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    const auto newline = input.indexOf('\n');
    const QString locales = QString::fromUtf8(newline < 0 ? QByteArray() : input.left(newline));
    const QByteArray contents = newline < 0 ? input : input.mid(newline + 1);

    QStringList names;
    for (const QString& locale : locales.split(u':', Qt::SkipEmptyParts)) {
        const QStringList keys = DesktopEntries::localeKeys(locale);
        for (const QString& key : keys)
            Fuzz::check(!key.isEmpty(), "an empty locale key");
        names << keys;
    }
    const auto name = DesktopEntries::nameIn(contents, names);
    if (name)
        Fuzz::check(!name->isEmpty(), "an empty Name was chosen");
    return 0;
}
