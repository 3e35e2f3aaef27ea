#include "Platform/Linux/X11/X11ApplicationActivity.h"

#include "Platform/ActivationObservers.h"
#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Linux/X11/X11DisplaySocket.h"
#include "Platform/Log.h"

#include <QByteArray>
#include <QString>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace {

// Enough for any name worth looking up (desktop ids are file names); a longer value is read cut,
// and still too long to be looked up.
constexpr uint32_t maximumPropertyLongs = 1024;
// How long a first question waits for the first reading: a healthy local server answers in
// milliseconds, a stuck one never.
constexpr auto frontmostWait = std::chrono::seconds(2);

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbPointer = std::unique_ptr<T, FreeDeleter>;

QString decoded(const QByteArray& bytes)
{
    // Text properties are meant to be UTF-8 or Latin-1; take UTF-8 when it is valid.
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

} // namespace

class X11ApplicationActivity::Watcher {
public:
    explicit Watcher(std::shared_ptr<const ApplicationIdentity> identity);
    ~Watcher();

    /** Whether the first reading was made; waits for it like frontmost(). */
    bool watching() const;
    std::optional<RunningApplication> frontmost() const;

    ActivationObservers observers;

private:
    // Waits, the first time only, for the thread's first reading; false when it did not come.
    bool waitForFirstReading() const;
    // On the thread: an empty text when the display can be watched, else why not.
    QString connect();
    void disconnect();
    void watch();
    void run();
    void handle(const xcb_generic_event_t* event);
    xcb_window_t activeWindow();
    // Reads _NET_ACTIVE_WINDOW and, when another window is active, publishes it.
    void refresh();
    void publish(std::optional<RunningApplication> application, bool notify);
    RunningApplication describe(xcb_window_t window);
    std::optional<QByteArray> property(xcb_get_property_cookie_t cookie);
    xcb_get_property_cookie_t requestProperty(xcb_window_t window, xcb_atom_t atom);
    std::optional<uint32_t> cardinal(xcb_get_property_cookie_t cookie);

    const std::shared_ptr<const ApplicationIdentity> m_identity;
    const QByteArray m_displayName;
    X11DisplaySocket m_socket;
    xcb_connection_t* m_connection = nullptr;
    xcb_ewmh_connection_t m_ewmh{};
    bool m_ewmhReady = false;
    int m_screen = 0;
    xcb_window_t m_root = XCB_NONE;
    xcb_atom_t m_gtkApplicationId = XCB_NONE;
    xcb_atom_t m_kdeDesktopFile = XCB_NONE;
    xcb_atom_t m_pid = XCB_NONE;
    int m_wakeFd = -1;
    std::atomic<bool> m_stopping = false;

    // Touched only by the thread.
    xcb_window_t m_activeWindow = XCB_NONE;

    mutable std::mutex m_frontmostMutex;
    mutable std::condition_variable m_frontmostRead;
    bool m_read = false;                   // the first reading was made, or the thread gave up
    bool m_watching = false;               // the first reading was made
    mutable bool m_waited = false;         // a caller has waited once, read or not
    mutable bool m_answeredUnread = false; // ... and was told nothing is in front before it
    std::optional<RunningApplication> m_frontmost;

    std::thread m_thread;
};

X11ApplicationActivity::Watcher::Watcher(std::shared_ptr<const ApplicationIdentity> identity)
    : m_identity(identity ? std::move(identity) : ApplicationIdentity::fromEnvironment()),
      m_displayName(qgetenv("DISPLAY")), m_socket(m_displayName)
{
    QString reason;
    // Under Wayland an X server (Xwayland) may run, but it sees only its own windows.
    // The same test as the backend selector's: an X11 session may hold a nested Wayland display.
    const QString sessionType = qEnvironmentVariable("XDG_SESSION_TYPE").toLower();
    if (sessionType == u"wayland" ||
        (sessionType != u"x11" && !qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty()))
        reason = QStringLiteral("the session runs Wayland, which does not tell which window is "
                                "active");
    else if (m_displayName.isEmpty())
        reason = QStringLiteral("no X display (DISPLAY is not set)");
    else if ((m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)
        reason =
            QStringLiteral("no event descriptor (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
    if (!reason.isEmpty()) {
        Log::plain(
            QStringLiteral("Foreground application tracking is unavailable: %1").arg(reason));
        std::lock_guard lock(m_frontmostMutex);
        m_read = true;
        return;
    }
    // Every X request, the connection's setup included, is made on the thread: a server that
    // accepts and never answers holds up only that thread.
    m_thread = std::thread([this] { watch(); });
}

X11ApplicationActivity::Watcher::~Watcher()
{
    if (m_thread.joinable()) {
        m_stopping = true;
        const uint64_t one = 1;
        // The descriptor is ours and nonblocking; a full counter still leaves it readable.
        [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
        // Ends a wait for the server's answer, the setup's included.
        m_socket.cut();
        m_thread.join();
    }
    disconnect();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool X11ApplicationActivity::Watcher::waitForFirstReading() const
{
    std::unique_lock lock(m_frontmostMutex);
    if (!m_waited) {
        m_waited = true;
        // The thread reads the first window once connected and the identity index is built.
        if (!m_frontmostRead.wait_for(lock, frontmostWait, [this] { return m_read; })) {
            m_answeredUnread = true;
            lock.unlock();
            Log::plain(QStringLiteral("Foreground application tracking waits for the X display "
                                      "\"%1\": it has not answered yet")
                           .arg(QString::fromLocal8Bit(m_displayName.left(200))));
            return false;
        }
    }
    return m_read;
}

bool X11ApplicationActivity::Watcher::watching() const
{
    waitForFirstReading();
    std::lock_guard lock(m_frontmostMutex);
    return m_watching;
}

std::optional<RunningApplication> X11ApplicationActivity::Watcher::frontmost() const
{
    waitForFirstReading();
    std::lock_guard lock(m_frontmostMutex);
    return m_frontmost;
}

void X11ApplicationActivity::Watcher::watch()
{
    // libxcb writes with writev: a server gone, or the socket cut by the destructor, between
    // its poll and its write would raise SIGPIPE, which ends the whole program. Blocked on this
    // thread, the write fails with EPIPE instead and the connection reports an error.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    if (const QString reason = connect(); !reason.isEmpty()) {
        // A connection cut by the destructor is no fault worth a line.
        if (!m_stopping)
            Log::plain(
                QStringLiteral("Foreground application tracking is unavailable: %1").arg(reason));
        std::lock_guard lock(m_frontmostMutex);
        m_read = true;
        m_frontmostRead.notify_all();
        return;
    }
    // Property changes of the root window are selected first: a change from here on arrives
    // as an event, however late the first reading is.
    m_activeWindow = activeWindow();
    m_identity->warmUp();
    const std::optional<RunningApplication> first =
        m_activeWindow == XCB_NONE ? std::nullopt : std::optional(describe(m_activeWindow));
    Log::plain(QStringLiteral("Foreground application tracking uses X11 (_NET_ACTIVE_WINDOW on "
                              "display \"%1\")")
                   .arg(QString::fromLocal8Bit(m_displayName.left(200))));
    {
        std::lock_guard lock(m_frontmostMutex);
        m_watching = true;
    }
    publish(first, false);
    run();
}

QString X11ApplicationActivity::Watcher::connect()
{
    const QString display = QString::fromLocal8Bit(m_displayName.left(200));
    QString why;
    const int fd = m_socket.open(m_wakeFd, &why);
    if (fd < 0)
        return QStringLiteral("cannot connect to the X display \"%1\" (%2)").arg(display, why);
    X11DisplaySocket::Cookie cookie = m_socket.cookie();
    xcb_auth_info_t auth{static_cast<int>(cookie.name.size()), cookie.name.data(),
                         static_cast<int>(cookie.data.size()), cookie.data.data()};
    // libxcb closes what it is given, on failure too: the socket object keeps its own
    // descriptor, so that cut() never reaches a number reused by then.
    const int handed = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (handed < 0)
        return QStringLiteral("no descriptor (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
    m_connection = xcb_connect_to_fd(handed, cookie.name.isEmpty() ? nullptr : &auth);
    if (xcb_connection_has_error(m_connection))
        return QStringLiteral("cannot connect to the X display \"%1\"").arg(display);
    const int screen = m_socket.screen();

    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(m_connection, &m_ewmh);
    const auto intern = [this](std::string_view name) {
        return xcb_intern_atom(m_connection, 0, name.size(), name.data());
    };
    const auto gtkCookie = intern("_GTK_APPLICATION_ID");
    const auto kdeCookie = intern("_KDE_NET_WM_DESKTOP_FILE");
    const auto pidCookie = intern("_NET_WM_PID");
    m_ewmhReady = xcb_ewmh_init_atoms_replies(&m_ewmh, cookies, nullptr) != 0;
    const XcbPointer<xcb_intern_atom_reply_t> gtk(
        xcb_intern_atom_reply(m_connection, gtkCookie, nullptr));
    const XcbPointer<xcb_intern_atom_reply_t> kde(
        xcb_intern_atom_reply(m_connection, kdeCookie, nullptr));
    const XcbPointer<xcb_intern_atom_reply_t> pid(
        xcb_intern_atom_reply(m_connection, pidCookie, nullptr));
    if (!m_ewmhReady || !gtk || !kde || !pid || screen < 0 || screen >= m_ewmh.nb_screens)
        return QStringLiteral("the X display \"%1\" did not answer").arg(display);
    m_gtkApplicationId = gtk->atom;
    m_kdeDesktopFile = kde->atom;
    m_pid = pid->atom;
    m_root = m_ewmh.screens[screen]->root;
    m_screen = screen;

    // Only property changes of the root window: _NET_ACTIVE_WINDOW among them.
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    const XcbPointer<xcb_generic_error_t> error(xcb_request_check(
        m_connection,
        xcb_change_window_attributes_checked(m_connection, m_root, XCB_CW_EVENT_MASK, &mask)));
    if (error)
        return QStringLiteral("the X display \"%1\" refused to report window changes").arg(display);
    return {};
}

void X11ApplicationActivity::Watcher::disconnect()
{
    if (m_ewmhReady)
        xcb_ewmh_connection_wipe(&m_ewmh);
    m_ewmhReady = false;
    if (m_connection)
        xcb_disconnect(m_connection);
    m_connection = nullptr;
}

void X11ApplicationActivity::Watcher::run()
{
    pollfd descriptors[2] = {{xcb_get_file_descriptor(m_connection), POLLIN, 0},
                             {m_wakeFd, POLLIN, 0}};
    for (;;) {
        // Replies read while handling an event can queue further events: empty the queue
        // before sleeping, or they would wait for the next wake-up.
        while (const XcbPointer<xcb_generic_event_t> event{xcb_poll_for_event(m_connection)})
            handle(event.get());
        if (m_stopping)
            return;
        if (xcb_connection_has_error(m_connection)) {
            Log::plain(QStringLiteral("Foreground application tracking stopped: the X "
                                      "connection was lost"));
            publish(std::nullopt, m_activeWindow != XCB_NONE);
            return;
        }
        if (::poll(descriptors, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Log::plain(QStringLiteral("Foreground application tracking stopped: %1")
                           .arg(QString::fromLocal8Bit(strerror(errno))));
            return;
        }
        if (descriptors[1].revents != 0)
            return;
    }
}

void X11ApplicationActivity::Watcher::handle(const xcb_generic_event_t* event)
{
    if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY)
        return;
    const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
    if (notify->window == m_root && notify->atom == m_ewmh._NET_ACTIVE_WINDOW)
        refresh();
}

xcb_window_t X11ApplicationActivity::Watcher::activeWindow()
{
    xcb_window_t window = XCB_NONE;
    xcb_generic_error_t* rawError = nullptr;
    if (!xcb_ewmh_get_active_window_reply(&m_ewmh, xcb_ewmh_get_active_window(&m_ewmh, m_screen),
                                          &window, &rawError))
        window = XCB_NONE; // deleted or malformed: nothing is active
    std::free(rawError);
    return window;
}

void X11ApplicationActivity::Watcher::refresh()
{
    const xcb_window_t window = activeWindow();
    // Window managers set the property again for the same window; that is no activation.
    if (window == m_activeWindow)
        return;
    m_activeWindow = window;
    if (window == XCB_NONE)
        publish(std::nullopt, true);
    else
        publish(describe(window), true);
}

void X11ApplicationActivity::Watcher::publish(std::optional<RunningApplication> application,
                                              bool notify)
{
    {
        std::lock_guard lock(m_frontmostMutex);
        // Who was told that nothing is in front before the first reading learns of its window
        // as an activation.
        if (!m_read && m_answeredUnread && application)
            notify = true;
        m_frontmost = application;
        m_read = true;
    }
    m_frontmostRead.notify_all();
    // A connection cut while stopping reads as no window: that is no activation.
    if (notify && !m_stopping)
        observers.notify(application.value_or(RunningApplication{}));
}

xcb_get_property_cookie_t X11ApplicationActivity::Watcher::requestProperty(xcb_window_t window,
                                                                           xcb_atom_t atom)
{
    return xcb_get_property(m_connection, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0,
                            maximumPropertyLongs);
}

std::optional<QByteArray>
X11ApplicationActivity::Watcher::property(xcb_get_property_cookie_t cookie)
{
    xcb_generic_error_t* rawError = nullptr;
    const XcbPointer<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(m_connection, cookie, &rawError));
    std::free(rawError);
    if (!reply || reply->format != 8)
        return std::nullopt;
    const int length = xcb_get_property_value_length(reply.get());
    if (length <= 0)
        return std::nullopt;
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
}

std::optional<uint32_t> X11ApplicationActivity::Watcher::cardinal(xcb_get_property_cookie_t cookie)
{
    xcb_generic_error_t* rawError = nullptr;
    const XcbPointer<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(m_connection, cookie, &rawError));
    std::free(rawError);
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

RunningApplication X11ApplicationActivity::Watcher::describe(xcb_window_t window)
{
    // Ask for all at once; the window may be gone by now, which reads as absent.
    const auto gtkCookie = requestProperty(window, m_gtkApplicationId);
    const auto kdeCookie = requestProperty(window, m_kdeDesktopFile);
    const auto classCookie = requestProperty(window, XCB_ATOM_WM_CLASS);
    const auto pidCookie =
        xcb_get_property(m_connection, 0, window, m_pid, XCB_ATOM_CARDINAL, 0, 1);
    const auto gtk = property(gtkCookie);
    const auto kde = property(kdeCookie);
    const auto wmClass = property(classCookie);
    const auto pid = cardinal(pidCookie);

    // A single text, ended at its first NUL.
    const auto text = [](const std::optional<QByteArray>& bytes) {
        if (!bytes)
            return QString();
        const auto end = bytes->indexOf('\0');
        return decoded(end >= 0 ? bytes->left(end) : *bytes);
    };

    WindowHints hints;
    hints.gtkApplicationId = text(gtk);
    hints.kdeDesktopFile = text(kde);
    if (wmClass) {
        // "instance\0class\0"
        const QList<QByteArray> parts = wmClass->split('\0');
        hints.wmClassInstance = decoded(parts.value(0));
        hints.wmClassClass = decoded(parts.value(1));
    }
    hints.pid = pid.value_or(0);
    return m_identity->resolve(hints);
}

X11ApplicationActivity::X11ApplicationActivity(std::shared_ptr<const ApplicationIdentity> identity)
    : m_watcher(std::make_unique<Watcher>(std::move(identity)))
{
}

X11ApplicationActivity::~X11ApplicationActivity() = default;

std::optional<RunningApplication> X11ApplicationActivity::frontmostApplication()
{
    return m_watcher->frontmost();
}

Subscription X11ApplicationActivity::addActivationObserver(ActivationHandler handler)
{
    return m_watcher->observers.add(std::move(handler));
}

bool X11ApplicationActivity::isWatching() const
{
    return m_watcher->watching();
}
