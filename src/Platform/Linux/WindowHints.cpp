#include "Platform/Linux/WindowHints.h"

#include "Platform/Linux/DesktopEntries.h"

namespace {

QString boundedText(const QString& text)
{
    return text.size() > WindowHints::maximumLength ? QString() : text;
}

QString withoutDesktopSuffix(QString id)
{
    if (id.endsWith(QLatin1String(".desktop")))
        id.chop(8);
    return id;
}

} // namespace

WindowHints WindowHints::bounded() const
{
    WindowHints copy = *this;
    for (QString* text : {&copy.desktopFileName, &copy.shellAppId, &copy.gtkApplicationId,
                          &copy.wmClass, &copy.wmInstance})
        *text = boundedText(*text);
    return copy;
}

RunningApplication applicationFor(const WindowHints& hints, const DesktopEntries& entries)
{
    // The desktop's own idea of the entry first, then the toolkit's.
    RunningApplication application;
    for (const QString& candidate : {hints.shellAppId, hints.desktopFileName,
                                     hints.gtkApplicationId}) {
        const QString id = withoutDesktopSuffix(candidate);
        if (id.isEmpty())
            continue;
        application.bundleIdentifier = id;
        application.localizedName = entries.name(id);
        break;
    }
    if (!application.localizedName && !hints.wmClass.isEmpty())
        application.localizedName = hints.wmClass;
    return application;
}
