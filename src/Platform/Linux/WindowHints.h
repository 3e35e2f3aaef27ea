#pragma once

#include "Platform/ApplicationActivity.h"

#include <QString>

#include <cstdint>

class DesktopEntries;

/**
 * What a Wayland desktop tells about the window in front, before it is turned into an
 * application. Any part may be empty (pid 0 when unknown).
 */
struct WindowHints {
    QString desktopFileName;  // KDE's desktop-file name or the Wayland app_id
    QString shellAppId;       // GNOME Shell's application id ("org.gnome.Nautilus.desktop")
    QString gtkApplicationId; // the GTK application id
    QString wmClass;          // the class part of WM_CLASS (KDE's resourceClass)
    QString wmInstance;       // the instance part of WM_CLASS (KDE's resourceName)
    std::uint32_t pid = 0;

    bool operator==(const WindowHints&) const = default;

    /**
     * A hint longer than this is not a name any desktop entry carries: it is dropped rather
     * than cut, so that a cut value can never match an entry by accident.
     */
    static constexpr qsizetype maximumLength = 1024;

    /** A copy without the parts longer than maximumLength. */
    [[nodiscard]] WindowHints bounded() const;
};

/** The application a window belongs to, by the desktop entries its hints name. */
[[nodiscard]] RunningApplication applicationFor(const WindowHints& hints,
                                                const DesktopEntries& entries);
