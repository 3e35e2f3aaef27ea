#include "Platform/Linux/ApplicationActivitySelector.h"

#include "Platform/ActivationObservers.h"
#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Linux/GnomeShell/GnomeShellApplicationActivity.h"
#include "Platform/Linux/KWin/KWinApplicationActivity.h"
#include "Platform/Linux/Wlroots/WlrootsApplicationActivity.h"
#include "Platform/Linux/X11/X11ApplicationActivity.h"
#include "Platform/Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace {

const QString unavailable = QStringLiteral("Foreground application tracking is unavailable: %1");

// Nothing is ever in front; handlers are kept but never called.
class NoApplicationActivity final : public ApplicationActivity {
public:
    std::optional<RunningApplication> frontmostApplication() override { return std::nullopt; }
    Subscription addActivationObserver(ActivationHandler handler) override
    {
        return m_observers.add(std::move(handler));
    }

private:
    ActivationObservers m_observers;
};

// Whether the desktop's service is on the session bus; why not, in words, when it is not.
bool onSessionBus(const QString& service, const QString& desktop, QString& why)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        why = QStringLiteral("no session bus to reach %1").arg(desktop);
        return false;
    }
    if (!bus.interface()->isServiceRegistered(service).value()) {
        why = QStringLiteral("%1 is not on the session bus").arg(desktop);
        return false;
    }
    return true;
}

// KDE Plasma: a KWin script of ours.
std::unique_ptr<ApplicationActivity>
makeKWinActivity(std::shared_ptr<const ApplicationIdentity> identity, QString& why)
{
    if (!onSessionBus(QStringLiteral("org.kde.KWin"), QStringLiteral("KWin"), why))
        return nullptr;
    const QString script = KWinApplicationActivity::scriptTemplatePath();
    if (script.isEmpty()) {
        why = QStringLiteral("the KWin script orvane/kwin/activity.js is not installed");
        return nullptr;
    }
    Log::plain(QStringLiteral("Foreground application tracking uses KWin (a script loaded "
                              "through org.kde.KWin /Scripting)"));
    return std::make_unique<KWinApplicationActivity>(std::move(identity), script);
}

// GNOME Shell: our Shell extension; the backend logs when it is missing or disabled.
std::unique_ptr<ApplicationActivity>
makeGnomeShellActivity(std::shared_ptr<const ApplicationIdentity> identity, QString& why)
{
    if (!onSessionBus(QStringLiteral("org.gnome.Shell"), QStringLiteral("GNOME Shell"), why))
        return nullptr;
    Log::plain(QStringLiteral("Foreground application tracking uses GNOME Shell (through the "
                              "agent's Shell extension)"));
    return std::make_unique<GnomeShellApplicationActivity>(std::move(identity));
}

bool containsDesktop(const QStringList& desktops, QStringView name)
{
    for (const auto& desktop : desktops)
        if (desktop.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

SessionFacts SessionFacts::fromEnvironment()
{
    return {qEnvironmentVariable("XDG_SESSION_TYPE"),
            qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts),
            qEnvironmentVariable("WAYLAND_DISPLAY"), qEnvironmentVariable("DISPLAY")};
}

ApplicationActivitySelector::Choice ApplicationActivitySelector::choose(const SessionFacts& session)
{
    const QString type = session.sessionType.toLower();
    const bool wayland =
        type == u"wayland" || (type != u"x11" && !session.waylandDisplay.isEmpty());
    if (wayland) {
        if (containsDesktop(session.currentDesktops, u"KDE"))
            return {ActivityBackend::kwin, {}};
        if (containsDesktop(session.currentDesktops, u"GNOME"))
            return {ActivityBackend::gnomeShell, {}};
        return {ActivityBackend::wlroots, {}};
    }
    if (type == u"x11" || !session.display.isEmpty())
        return {ActivityBackend::x11, {}};
    return {ActivityBackend::none,
            QStringLiteral("no graphical session (neither WAYLAND_DISPLAY nor DISPLAY is set)")};
}

std::unique_ptr<ApplicationActivity>
ApplicationActivitySelector::make(const SessionFacts& session,
                                  std::shared_ptr<const ApplicationIdentity> identity)
{
    const Choice choice = choose(session);
    QString why = choice.reason;
    std::unique_ptr<ApplicationActivity> backend;
    switch (choice.backend) {
    case ActivityBackend::x11:
        // The backend connects on its own thread and logs there that it watches the display,
        // or why it cannot.
        return std::make_unique<X11ApplicationActivity>(std::move(identity));
    case ActivityBackend::wlroots: {
        auto wlroots = std::make_unique<WlrootsApplicationActivity>(std::move(identity));
        if (wlroots->isWatching())
            Log::plain(QStringLiteral("Foreground application tracking uses the Wayland "
                                      "compositor's foreign-toplevel interface (wlroots)"));
        return wlroots;
    }
    case ActivityBackend::kwin:
        backend = makeKWinActivity(std::move(identity), why);
        break;
    case ActivityBackend::gnomeShell:
        backend = makeGnomeShellActivity(std::move(identity), why);
        break;
    case ActivityBackend::none:
        break;
    }
    if (backend)
        return backend;
    Log::plain(unavailable.arg(why));
    return std::make_unique<NoApplicationActivity>();
}

ApplicationActivity& ApplicationActivity::system()
{
    static const std::unique_ptr<ApplicationActivity> activity = ApplicationActivitySelector::make(
        SessionFacts::fromEnvironment(), ApplicationIdentity::fromEnvironment());
    return *activity;
}
