#pragma once

#include "Platform/ApplicationActivity.h"

#include <QString>

#include <memory>

class ApplicationIdentity;
class BackendThread;

/**
 * The application in front on KDE Plasma (KWin 5.27 and Plasma 6), from a KWin script that
 * reports each window activation back over the session bus.
 *
 * The backend runs a thread of its own with a private session-bus connection that owns a name
 * unique to this object ("ai.orvane.KWinActivity.p<pid>_<n>"). Tracking starts with the first
 * question or subscription: the shipped script (scriptTemplatePath(), the bus name filled in) is
 * written to the runtime folder and loaded through org.kde.KWin /Scripting under a plugin name
 * of its own; it is unloaded when the last subscription ends and when this object goes. A KWin
 * that leaves the bus is logged once and means no application; when KWin comes back the script
 * is loaded again. Reports are taken only from the process that owns org.kde.KWin; the window's
 * desktop-file name, resource class and name and process go through the identity rule
 * (ApplicationIdentity). Handlers run
 * on the backend's thread; nothing wakes while no window is activated.
 */
class KWinApplicationActivity final : public ApplicationActivity {
public:
    /**
     * identity: the identity rule (default: this process's environment); scriptPath: the script
     * to load, empty for the one found by scriptTemplatePath().
     */
    explicit KWinApplicationActivity(std::shared_ptr<const ApplicationIdentity> identity = {},
                                     const QString& scriptPath = {});
    /** Unloads the script and joins the thread; no handler runs once this returns. */
    ~KWinApplicationActivity() override;
    KWinApplicationActivity(const KWinApplicationActivity&) = delete;
    KWinApplicationActivity& operator=(const KWinApplicationActivity&) = delete;

    /** Waits up to two seconds for KWin's first report after the script is loaded. */
    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] Subscription addActivationObserver(ActivationHandler handler) override;

    /**
     * The installed script: "orvane/kwin/activity.js" under share/ beside the program (up to
     * three folders above it, for the bundle layout) or under an XDG data folder; empty when
     * none is found.
     */
    [[nodiscard]] static QString scriptTemplatePath();

    /** The plugin name under which this object's script is loaded into KWin. */
    [[nodiscard]] QString pluginName() const;

    class Worker;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    Worker* m_worker = nullptr; // owned by m_thread
    std::unique_ptr<BackendThread> m_thread;
};
