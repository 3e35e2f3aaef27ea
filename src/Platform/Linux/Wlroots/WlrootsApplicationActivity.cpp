#include "Platform/Linux/Wlroots/WlrootsApplicationActivity.h"

#include "Platform/ActivationObservers.h"
#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Linux/Wlroots/ToplevelFocus.h"
#include "Platform/Log.h"

#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

// How long the constructor waits for the compositor, and a first lookup for the first reading.
constexpr auto answerTimeout = 5s;
// Longer app ids name no desktop entry; the rest is not kept.
constexpr std::size_t maximumAppIdBytes = 1024;

const QString unavailable = QStringLiteral("Foreground application tracking is unavailable: %1");

} // namespace

class WlrootsApplicationActivity::Watcher {
public:
    explicit Watcher(std::shared_ptr<const ApplicationIdentity> identity)
        : m_identity(identity ? std::move(identity) : ApplicationIdentity::fromEnvironment())
    {
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wakeFd < 0) {
            Log::plain(unavailable.arg(QStringLiteral("no event descriptor (%1)")
                                           .arg(QString::fromLocal8Bit(strerror(errno)))));
            finishReading();
            return;
        }
        m_thread = std::thread([this] { run(); });
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, answerTimeout, [this] { return m_decided; })) {
            // The thread keeps waiting; it stops with this object.
            m_decided = true;
            lock.unlock();
            Log::plain(unavailable.arg(QStringLiteral("the Wayland compositor did not answer")));
            return;
        }
        if (!m_reason.isEmpty()) {
            const QString reason = m_reason;
            lock.unlock();
            Log::plain(unavailable.arg(reason));
        }
    }

    ~Watcher()
    {
        if (m_thread.joinable()) {
            const uint64_t one = 1;
            // The descriptor is ours and nonblocking; a full counter still leaves it readable.
            [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
            m_thread.join();
        }
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
    }

    bool watching() const
    {
        std::lock_guard lock(m_mutex);
        return m_watching;
    }

    std::optional<RunningApplication> frontmost() const
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, answerTimeout, [this] { return m_read; });
        return m_frontmost;
    }

    ActivationObservers observers;

private:
    enum class Step { dispatched, stopped, lost };

    // --- protocol listeners (on the thread) ---
    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                       uint32_t version)
    {
        auto* self = static_cast<Watcher*>(data);
        if (self->m_manager ||
            std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0)
            return;
        self->m_manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
            registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, 3u)));
        zwlr_foreign_toplevel_manager_v1_add_listener(self->m_manager, &managerListener, self);
    }
    static void globalRemove(void*, wl_registry*, uint32_t) {}
    static constexpr wl_registry_listener registryListener{global, globalRemove};

    static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                         zwlr_foreign_toplevel_handle_v1* handle)
    {
        auto* self = static_cast<Watcher*>(data);
        self->m_handles.insert(handle);
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, self);
    }
    static void finished(void* data, zwlr_foreign_toplevel_manager_v1*)
    {
        static_cast<Watcher*>(data)->m_finished = true;
    }
    static constexpr zwlr_foreign_toplevel_manager_v1_listener managerListener{toplevel, finished};

    static ToplevelFocus::Id id(zwlr_foreign_toplevel_handle_v1* handle)
    {
        return reinterpret_cast<ToplevelFocus::Id>(handle);
    }
    static void title(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
    static void appId(void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* value)
    {
        const std::size_t length = strnlen(value, maximumAppIdBytes);
        static_cast<Watcher*>(data)->m_focus.appId(id(handle),
                                                   QString::fromUtf8(value, qsizetype(length)));
    }
    static void outputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void outputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void state(void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states)
    {
        bool activated = false;
        bool minimized = false;
        const auto* values = static_cast<const uint32_t*>(states->data);
        for (std::size_t i = 0; i < states->size / sizeof(uint32_t); ++i) {
            activated |= values[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
            minimized |= values[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED;
        }
        static_cast<Watcher*>(data)->m_focus.state(id(handle), activated, minimized);
    }
    static void done(void* data, zwlr_foreign_toplevel_handle_v1* handle)
    {
        auto* self = static_cast<Watcher*>(data);
        self->m_focus.done(id(handle));
        self->m_dirty = true;
    }
    static void closed(void* data, zwlr_foreign_toplevel_handle_v1* handle)
    {
        auto* self = static_cast<Watcher*>(data);
        self->m_focus.closed(id(handle));
        self->m_handles.erase(handle);
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        self->m_dirty = true;
    }
    static void parent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handleListener{
        title, appId, outputEnter, outputLeave, state, done, closed, parent};

    static void synced(void* data, wl_callback* callback, uint32_t)
    {
        *static_cast<bool*>(data) = true;
        wl_callback_destroy(callback);
    }
    static constexpr wl_callback_listener syncListener{synced};

    // --- the thread ---
    void run()
    {
        const QString reason = connect();
        if (!reason.isEmpty()) {
            decide(false, reason);
            finishReading();
            disconnect();
            return;
        }
        decide(true, {});
        m_identity->warmUp();
        m_dirty = false;
        publish(front(), false);
        finishReading();

        Step step = Step::dispatched;
        while (step == Step::dispatched && !m_finished) {
            step = dispatchOnce();
            // A focus change comes as one batch: the old window's "done" and the new one's.
            // Judged between them, nothing would be in front for a moment.
            if (m_dirty)
                changed();
        }
        if (step != Step::stopped) {
            Log::plain(QStringLiteral("Foreground application tracking stopped: the Wayland "
                                      "compositor went away"));
            publish(std::nullopt, true);
        }
        disconnect();
    }

    QString connect()
    {
        m_display = wl_display_connect(nullptr);
        if (!m_display)
            return QStringLiteral("cannot connect to the Wayland display \"%1\"")
                .arg(qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0")));
        m_registry = wl_display_get_registry(m_display);
        wl_registry_add_listener(m_registry, &registryListener, this);
        // The globals, then the toplevels present with their first states.
        if (!roundtrip())
            return QStringLiteral("the Wayland compositor went away");
        if (!m_manager)
            return QStringLiteral("the Wayland compositor does not tell which window is active "
                                  "(it offers no zwlr_foreign_toplevel_manager_v1)");
        if (!roundtrip())
            return QStringLiteral("the Wayland compositor went away");
        return {};
    }

    void disconnect()
    {
        for (auto* handle : m_handles)
            zwlr_foreign_toplevel_handle_v1_destroy(handle);
        m_handles.clear();
        if (m_manager)
            zwlr_foreign_toplevel_manager_v1_destroy(m_manager);
        m_manager = nullptr;
        if (m_registry)
            wl_registry_destroy(m_registry);
        m_registry = nullptr;
        if (m_display)
            wl_display_disconnect(m_display);
        m_display = nullptr;
    }

    // A round trip that the owner can interrupt; false when it could not complete.
    bool roundtrip()
    {
        bool done = false;
        wl_callback* callback = wl_display_sync(m_display);
        wl_callback_add_listener(callback, &syncListener, &done);
        while (!done) {
            if (dispatchOnce() != Step::dispatched) {
                if (!done)
                    wl_callback_destroy(callback);
                return false;
            }
        }
        return true;
    }

    // Waits for the compositor's next events (or the owner's wake-up) and dispatches them.
    Step dispatchOnce()
    {
        while (wl_display_prepare_read(m_display) != 0)
            if (wl_display_dispatch_pending(m_display) < 0)
                return Step::lost;
        if (wl_display_flush(m_display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(m_display);
            return Step::lost;
        }
        pollfd descriptors[2] = {{wl_display_get_fd(m_display), POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0) {
            wl_display_cancel_read(m_display);
            return errno == EINTR ? Step::dispatched : Step::lost;
        }
        if (descriptors[1].revents != 0) {
            wl_display_cancel_read(m_display);
            return Step::stopped;
        }
        if (descriptors[0].revents != 0) {
            if (wl_display_read_events(m_display) < 0)
                return Step::lost;
        } else {
            wl_display_cancel_read(m_display);
        }
        return wl_display_dispatch_pending(m_display) < 0 ? Step::lost : Step::dispatched;
    }

    std::optional<ToplevelFocus::Front> front() const { return m_focus.front(); }

    // After each batch of events with a toplevel's "done" or "closed": another front
    // application is an activation.
    // A window with an app id naming no entry, a window still without one, and no window at all
    // are the same "no application", reported once.
    void changed()
    {
        m_dirty = false;
        const auto now = front();
        const auto appIdOf = [](const std::optional<ToplevelFocus::Front>& f) {
            return f ? std::optional<QString>(f->appId) : std::nullopt;
        };
        if (appIdOf(now) != appIdOf(m_published))
            publish(now, true);
    }

    void publish(std::optional<ToplevelFocus::Front> now, bool notify)
    {
        m_published = now;
        std::optional<RunningApplication> application;
        if (now)
            application = m_identity->resolve({now->appId, {}, {}, {}, {}, 0});
        const RunningApplication reported = application.value_or(RunningApplication{});
        {
            std::lock_guard lock(m_mutex);
            m_frontmost = application;
        }
        if (notify && reported != m_reported)
            observers.notify(reported);
        m_reported = reported;
    }

    void decide(bool watching, const QString& reason)
    {
        {
            std::lock_guard lock(m_mutex);
            m_watching = watching && !m_decided; // too late: the owner has given up
            m_reason = reason;
            m_decided = true;
        }
        m_changed.notify_all();
    }

    void finishReading()
    {
        {
            std::lock_guard lock(m_mutex);
            m_read = true;
        }
        m_changed.notify_all();
    }

    const std::shared_ptr<const ApplicationIdentity> m_identity;
    int m_wakeFd = -1;
    std::thread m_thread;

    // The thread's own.
    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    zwlr_foreign_toplevel_manager_v1* m_manager = nullptr;
    std::set<zwlr_foreign_toplevel_handle_v1*> m_handles;
    ToplevelFocus m_focus;
    bool m_finished = false;
    bool m_dirty = false; // a toplevel changed since the front was last judged
    std::optional<ToplevelFocus::Front> m_published;
    RunningApplication m_reported; // what handlers were last told

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_decided = false;
    bool m_watching = false;
    bool m_read = false;
    QString m_reason;
    std::optional<RunningApplication> m_frontmost;
};

WlrootsApplicationActivity::WlrootsApplicationActivity(
    std::shared_ptr<const ApplicationIdentity> identity)
    : m_watcher(std::make_unique<Watcher>(std::move(identity)))
{
}

WlrootsApplicationActivity::~WlrootsApplicationActivity() = default;

std::optional<RunningApplication> WlrootsApplicationActivity::frontmostApplication()
{
    return m_watcher->frontmost();
}

Subscription WlrootsApplicationActivity::addActivationObserver(ActivationHandler handler)
{
    return m_watcher->observers.add(std::move(handler));
}

bool WlrootsApplicationActivity::isWatching() const
{
    return m_watcher->watching();
}
