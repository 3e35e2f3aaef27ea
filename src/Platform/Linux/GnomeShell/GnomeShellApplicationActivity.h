#pragma once

#include "Platform/ApplicationActivity.h"

#include <QString>

#include <memory>

class ApplicationIdentity;
class BackendThread;

/**
 * The application in front on GNOME Shell, from the agent's own Shell extension (the Shell keeps
 * its introspection from other programs). The extension owns the bus name busName on the Shell's
 * own connection and offers Focus() and a FocusChanged signal; reports are taken only while that
 * name and org.gnome.Shell have the same owner.
 *
 * A thread of the backend's own, with a private session-bus connection, follows both names:
 * while the extension is missing, disabled or the Shell is gone there is no application, and one
 * log line says why and how to enable the extension; when the extension (re)appears it is asked
 * again. The focused window's Shell application id, WM_CLASS, GTK application id and process go
 * through the identity rule (ApplicationIdentity). Handlers run on that thread; nothing wakes while
 * the focus does not change.
 */
class GnomeShellApplicationActivity final : public ApplicationActivity {
public:
    /** identity: the identity rule; by default this process's environment. */
    explicit GnomeShellApplicationActivity(
        std::shared_ptr<const ApplicationIdentity> identity = {});
    /** Joins the thread; no handler runs once this returns. */
    ~GnomeShellApplicationActivity() override;
    GnomeShellApplicationActivity(const GnomeShellApplicationActivity&) = delete;
    GnomeShellApplicationActivity& operator=(const GnomeShellApplicationActivity&) = delete;

    /** Waits up to two seconds for the extension's first answer. */
    [[nodiscard]] std::optional<RunningApplication> frontmostApplication() override;
    [[nodiscard]] Subscription addActivationObserver(ActivationHandler handler) override;

    static constexpr auto busName = "ai.orvane.ShellActivity";
    static constexpr auto objectPath = "/ai/orvane/ShellActivity";
    static constexpr auto interfaceName = "ai.orvane.ShellActivity";

    /** The extension for a Shell version ("43.9"): ES modules from 45 on, the older format before.
     */
    [[nodiscard]] static QString extensionUuid(const QString& shellVersion);

    /**
     * Enables the extension for the running Shell of this user's session bus, through the Shell's
     * own extension service. Logs one line and returns false when it cannot.
     */
    static bool enableExtension();

    class Worker;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    Worker* m_worker = nullptr; // owned by m_thread
    std::unique_ptr<BackendThread> m_thread;
};
