// The information dictionary on Linux: Info.json beside the running executable.
#include "Platform/BundleInfo.h"

#include <QFileInfo>

const BundleInfo& BundleInfo::main()
{
    static const BundleInfo info = [] {
        const QFileInfo executable(QStringLiteral("/proc/self/exe"));
        return fromFile(QFileInfo(executable.canonicalFilePath()).absolutePath() +
                        QStringLiteral("/Info.json"));
    }();
    return info;
}
