// AppStream data as a package or a user may install it: the first byte picks the form ('y' a
// DEP-11 YAML catalog, anything else a metainfo file or collection XML), the rest is the file.
#include "FuzzSupport.h"

#include "Platform/Linux/AppStreamComponents.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray contents = Fuzz::bytes(data + 1, size - 1);
    const auto sink = [](const QString& componentId, const QStringList& desktopIds) {
        for (const QString& desktopId : desktopIds)
            Fuzz::check(!desktopId.isEmpty(), "an empty desktop id");
        const QString id = AppStreamComponents::normalizedId(componentId);
        if (AppStreamComponents::isReverseDns(id))
            Fuzz::check(!id.startsWith(u'.') && !id.endsWith(u'.'), "a reverse-DNS id with an empty part");
    };
    if (data[0] == 'y')
        AppStreamComponents::readYaml(contents, sink);
    else
        AppStreamComponents::readXml(contents, sink);
    return 0;
}
