// The foreground-application backend this session gets, measured against real window systems:
// latency from a focus change to the activity reporter, wake-ups while nothing changes, memory.
// Prints figures; asserts nothing.
//
//   X11:   scripts/with-xvfb build/default/bench/activity-backends/activity_backends_bench
//   sway:  scripts/as-unprivileged-user build/default/bench/activity-backends/activity_backends_bench --sway
// Options: --changes N (focus changes timed, default 200), --idle S (idle seconds, default 30),
//          --watch S (instead: print each activation for S seconds, for measuring real programs),
//          --catalog N (instead: time indexing a DEP-11 catalog of N components),
//          --identify (instead, X11: bring each program's window to the front, print its
//          application),
//          --kwin / --gnome-shell --client <tests' ActivityTestClient> (in a running Plasma or
//          GNOME session: scripts/bench-desktop-activity starts a headless one).
#include "Platform/Linux/ApplicationActivitySelector.h"
#include "Platform/Linux/ApplicationIdentity.h"
#include "Services/ActivityReporter.h"
#include "Support/Clock.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <xcb/xcb.h>
#include <zlib.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock_ = std::chrono::steady_clock;

// --- /proc figures of this process ---

qint64 statusField(const char* name)
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(qstrlen(name)).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

qint64 privateKiB()
{
    QFile file(QStringLiteral("/proc/self/smaps_rollup"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 total = 0;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith("Private_Clean:") || line.startsWith("Private_Dirty:"))
            total += line.mid(14).trimmed().split(' ').value(0).toLongLong();
    return total;
}

// Context switches of every thread but the calling one: each is a wake-up of that thread.
qint64 otherThreadsSwitches()
{
    const QString self = QString::number(::gettid());
    qint64 total = 0;
    for (const QString& tid : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs |
                                                                                QDir::NoDotAndDotDot)) {
        if (tid == self)
            continue;
        QFile file(QStringLiteral("/proc/self/task/%1/status").arg(tid));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:") ||
                line.startsWith("nonvoluntary_ctxt_switches:"))
                total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return total;
}

void printMemory(const char* when)
{
    std::printf("memory %-28s RSS %6lld KiB, peak RSS %6lld KiB, private %6lld KiB\n", when,
                statusField("VmRSS:"), statusField("VmHWM:"), privateKiB());
}

// --- focus drivers: two windows of real applications, and a way to bring either to the front ---

// When the compositor itself started the last activation, on its own clock.
struct CompositorStamp {
    enum class Clock {
        monotonicMicroseconds, // CLOCK_MONOTONIC, as the bench's steady clock
        realtimeMilliseconds,  // CLOCK_REALTIME in whole milliseconds (JavaScript's Date.now())
    };
    Clock clock;
    qint64 value;
};

class FocusDriver {
public:
    virtual ~FocusDriver() = default;
    virtual bool ready() const = 0;
    virtual void focus(int which) = 0; // 0 or 1; returns once the request is sent
    // The stamp of the activation the last focus() made, where the compositor can take one.
    virtual std::optional<CompositorStamp> lastStamp() { return std::nullopt; }
};

// X11: the bench plays the window manager, as _NET_ACTIVE_WINDOW is what one sets.
class X11Driver final : public FocusDriver {
public:
    X11Driver()
    {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        m_active = atom("_NET_ACTIVE_WINDOW");
        // Debian's xterm and uxterm entries: found by WM_CLASS against StartupWMClass.
        const QByteArray classes[] = {QByteArray("xterm\0XTerm\0", 12),
                                      QByteArray("xterm\0UXTerm\0", 13)};
        for (int i = 0; i < 2; ++i) {
            m_windows[i] = xcb_generate_id(m_connection);
            xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, m_windows[i], m_root, 0, 0, 1, 1,
                              0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
            xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_windows[i],
                                XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, classes[i].size(),
                                classes[i].constData());
        }
        const xcb_window_t none = XCB_NONE;
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, m_active, XCB_ATOM_WINDOW,
                            32, 1, &none);
        std::free(xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection),
                                            nullptr));
        m_ready = true;
    }
    ~X11Driver() override { xcb_disconnect(m_connection); }

    bool ready() const override { return m_ready; }
    void focus(int which) override { activate(m_windows[which]); }

    void activate(xcb_window_t window)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, m_active, XCB_ATOM_WINDOW,
                            32, 1, &window);
        xcb_flush(m_connection);
    }

    /** Other programs' top-level windows with their WM_CLASS ("instance/class"). */
    std::vector<std::pair<xcb_window_t, QString>> programWindows()
    {
        std::vector<std::pair<xcb_window_t, QString>> found;
        auto* tree =
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr);
        if (!tree)
            return found;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            if (children[i] == m_windows[0] || children[i] == m_windows[1])
                continue;
            auto* reply = xcb_get_property_reply(
                m_connection,
                xcb_get_property(m_connection, 0, children[i], XCB_ATOM_WM_CLASS,
                                 XCB_ATOM_STRING, 0, 256),
                nullptr);
            if (reply && xcb_get_property_value_length(reply) > 0) {
                const QList<QByteArray> parts =
                    QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply))
                        .split('\0');
                found.emplace_back(children[i], QString::fromUtf8(parts.value(0) + '/' +
                                                                  parts.value(1)));
            }
            std::free(reply);
        }
        std::free(tree);
        return found;
    }

private:
    xcb_atom_t atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return value;
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = XCB_NONE;
    xcb_atom_t m_active = XCB_NONE;
    xcb_window_t m_windows[2] = {};
    bool m_ready = false;
};

pid_t spawn(const std::vector<const char*>& argv, const std::function<void()>& inChild = {})
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (inChild)
            inChild();
        std::vector<char*> args;
        for (const char* arg : argv)
            args.push_back(const_cast<char*>(arg));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

// sway: a headless sway of the bench's own with two foot windows (app ids "foot" and
// "footclient", both with Debian entries); focus through sway's IPC socket.
class SwayDriver final : public FocusDriver {
public:
    SwayDriver()
    {
        if (!m_folder.isValid())
            return;
        const QString ready = m_folder.filePath(QStringLiteral("ready"));
        QFile config(m_folder.filePath(QStringLiteral("config")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral("xwayland disable\nexec sh -c 'printf \"%s\\n%s\\n\" "
                                    "\"$WAYLAND_DISPLAY\" \"$SWAYSOCK\" > %1.tmp && mv %1.tmp %1'\n")
                         .arg(ready)
                         .toUtf8());
        config.close();
        const QByteArray configPath = config.fileName().toLocal8Bit();
        const QByteArray log = m_folder.filePath(QStringLiteral("sway.log")).toLocal8Bit();
        m_sway = spawn({"sway", "-c", configPath.constData()}, [&] {
            ::setenv("WLR_BACKENDS", "headless", 1);
            ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
            ::setenv("WLR_RENDERER", "pixman", 1);
            ::unsetenv("DISPLAY");
            if (std::freopen(log.constData(), "w", stderr) == nullptr)
                ::_exit(127);
        });
        for (auto deadline = Clock_::now() + 30s; Clock_::now() < deadline && !QFile::exists(ready);
             std::this_thread::sleep_for(20ms)) {
        }
        QFile file(ready);
        if (!file.open(QIODevice::ReadOnly))
            return;
        const QList<QByteArray> lines = file.readAll().split('\n');
        ::setenv("WAYLAND_DISPLAY", lines.value(0).constData(), 1);
        ::setenv("XDG_SESSION_TYPE", "wayland", 1);
        ::unsetenv("DISPLAY");
        m_ipc = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, lines.value(1).constData(), sizeof address.sun_path - 1);
        if (::connect(m_ipc, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        const auto quiet = [] {
            if (std::freopen("/dev/null", "w", stderr) == nullptr)
                ::_exit(127);
        };
        m_clients[0] = spawn({"foot", "--app-id=foot", "--override=shell=/bin/cat"}, quiet);
        m_clients[1] = spawn({"foot", "--app-id=footclient", "--override=shell=/bin/cat"}, quiet);
        // Both mapped: the second is in front once its window is up.
        std::this_thread::sleep_for(2s);
        m_ready = true;
    }
    ~SwayDriver() override
    {
        for (pid_t pid : {m_clients[0], m_clients[1], m_sway}) {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
        }
        if (m_ipc >= 0)
            ::close(m_ipc);
    }

    bool ready() const override { return m_ready; }
    void focus(int which) override
    {
        command(which == 0 ? "[app_id=\"^foot$\"] focus" : "[app_id=\"^footclient$\"] focus");
    }

private:
    // i3 IPC: "i3-ipc", payload length, type 0 (RUN_COMMAND), payload; the reply is read and
    // dropped so that the socket never fills.
    void command(const QByteArray& text)
    {
        QByteArray message("i3-ipc");
        const quint32 header[2] = {quint32(text.size()), 0};
        message.append(reinterpret_cast<const char*>(header), sizeof header);
        message.append(text);
        if (::write(m_ipc, message.constData(), message.size()) != message.size())
            return;
        char reply[4096];
        [[maybe_unused]] const auto n = ::read(m_ipc, reply, sizeof reply);
    }

    QTemporaryDir m_folder;
    pid_t m_sway = -1;
    pid_t m_clients[2] = {-1, -1};
    int m_ipc = -1;
    bool m_ready = false;
};

// Indexing a distribution-sized DEP-11 catalog (Debian's main holds some 15,000 components):
// what the backend's thread does once before its first reading.
void timeCatalogIndex(int components)
{
    QTemporaryDir folder;
    const QString catalog = folder.filePath(QStringLiteral("Components-amd64.yml.gz"));
    gzFile out = gzopen(catalog.toLocal8Bit().constData(), "wb");
    if (!out)
        return;
    const QByteArray description(800, 'd');
    for (int i = 0; i < components; ++i) {
        const QByteArray document =
            QStringLiteral("---\nType: desktop-application\nID: org.example.App%1\n"
                           "Package: app%1\nName:\n  C: App %1\n  de: Programm %1\n"
                           "Summary:\n  C: Does things\nDescription:\n  C: <p>%2</p>\n"
                           "Launchable:\n  desktop-id:\n  - app%1.desktop\n"
                           "Icon:\n  cached:\n  - name: app%1.png\n    width: 64\n")
                .arg(i)
                .arg(QString::fromLatin1(description))
                .toUtf8();
        gzwrite(out, document.constData(), unsigned(document.size()));
    }
    gzclose(out);
    const ApplicationIdentity identity({folder.filePath(QStringLiteral("data"))},
                                       {QStringLiteral("de")}, {folder.path()});
    const auto start = Clock_::now();
    identity.warmUp();
    std::printf("identity index over a catalog of %d components (%lld KiB compressed): %.0f ms\n",
                components, QFileInfo(catalog).size() / 1024,
                std::chrono::duration<double, std::milli>(Clock_::now() - start).count());
}

// Takes the stamps a KWin focus script sends with callDBus to the bench's own connection. The
// message may be handled on the bus's thread or the main one; the waiter runs the event loop.
class StampReceiver final : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        if (message.member() != u"Stamp")
            return false;
        {
            std::lock_guard lock(m_mutex);
            m_stamp = message.arguments().value(0).toString().toLongLong();
        }
        connection.send(message.createReply());
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

    /** The stamp received since the last call, waiting up to a few seconds for it. */
    std::optional<qint64> take()
    {
        for (auto deadline = Clock_::now() + 5s; Clock_::now() < deadline;) {
            {
                std::lock_guard lock(m_mutex);
                if (m_stamp)
                    return std::exchange(m_stamp, std::nullopt);
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return std::nullopt;
    }

private:
    std::mutex m_mutex;
    std::optional<qint64> m_stamp;
};

// KDE Plasma or GNOME Shell already running in this session (started by the caller): two windows
// of the tests' Wayland client (--client), with the app ids of two Debian entries ("foot" and
// "gcr-viewer"); focus through a KWin script or the Shell's Eval (which the tests' control
// extension opens). The time measured includes that request.
class DesktopDriver final : public FocusDriver {
public:
    enum class Desktop { kwin, gnomeShell };

    DesktopDriver(Desktop desktop, const QString& client) : m_desktop(desktop)
    {
        if (client.isEmpty() || !m_folder.isValid() || !QDBusConnection::sessionBus().isConnected())
            return;
        if (m_desktop == Desktop::kwin) {
            QDBusConnection bus = QDBusConnection::sessionBus();
            if (!bus.registerVirtualObject(QStringLiteral("/BenchStamp"), &m_stamps))
                return;
        }
        const QByteArray program = client.toLocal8Bit();
        const auto quiet = [] {
            ::setenv("QT_QPA_PLATFORM", "wayland", 1);
            if (std::freopen("/dev/null", "w", stderr) == nullptr)
                ::_exit(127);
        };
        for (int i = 0; i < 2; ++i) {
            m_clients[i] = spawn({program.constData(), m_ids[i], m_ids[i]}, quiet);
            if (m_desktop == Desktop::kwin) {
                QFile script(m_folder.filePath(QStringLiteral("focus%1.js").arg(i)));
                if (!script.open(QIODevice::WriteOnly))
                    return;
                script.write(QStringLiteral("var all = workspace.clientList();"
                                            "for (var i = 0; i < all.length; ++i)"
                                            "  if (all[i].resourceClass == '%1') {"
                                            "    var stamp = Date.now();"
                                            "    workspace.activeClient = all[i];"
                                            "    callDBus('%2', '/BenchStamp', 'ai.orvane.Bench',"
                                            "             'Stamp', String(stamp));"
                                            "  }")
                                 .arg(QLatin1String(m_ids[i]),
                                      QDBusConnection::sessionBus().baseService())
                                 .toUtf8());
            }
        }
        std::this_thread::sleep_for(3s);
        m_ready = true;
    }
    ~DesktopDriver() override
    {
        for (pid_t pid : m_clients) {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }

    bool ready() const override { return m_ready; }
    std::optional<CompositorStamp> lastStamp() override { return m_stamp; }
    void focus(int which) override
    {
        const QString id = QLatin1String(m_ids[which & 1]);
        m_stamp.reset();
        if (m_desktop == Desktop::gnomeShell) {
            const QDBusMessage reply = call(
                QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                QStringLiteral("org.gnome.Shell"), QStringLiteral("Eval"),
                {QStringLiteral("(() => { const windows = global.get_window_actors()"
                                ".map(a => a.meta_window).filter(w => w.get_wm_class() == '%1');"
                                "const stamp = imports.gi.GLib.get_monotonic_time();"
                                "windows.forEach(w => w.activate(global.get_current_time()));"
                                "return stamp; })()")
                     .arg(id)});
            bool ok = false;
            const qint64 stamp = reply.arguments().value(1).toString().toLongLong(&ok);
            if (reply.arguments().value(0).toBool() && ok)
                m_stamp = CompositorStamp{CompositorStamp::Clock::monotonicMicroseconds, stamp};
            return;
        }
        const QString name = QStringLiteral("bench-focus-%1").arg(m_loads++);
        const QDBusMessage loaded = call(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
            QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("loadScript"),
            {m_folder.filePath(QStringLiteral("focus%1.js").arg(which & 1)), name});
        const int script = loaded.arguments().value(0).toInt();
        for (const QString& path : {QStringLiteral("/Scripting/Script%1").arg(script),
                                    QStringLiteral("/%1").arg(script)})
            if (call(QStringLiteral("org.kde.KWin"), path, QStringLiteral("org.kde.kwin.Script"),
                     QStringLiteral("run"), {})
                    .type() == QDBusMessage::ReplyMessage)
                break;
        call(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
             QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("unloadScript"), {name});
        if (const auto stamp = m_stamps.take())
            m_stamp = CompositorStamp{CompositorStamp::Clock::realtimeMilliseconds, *stamp};
    }

private:
    static QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                             const QString& method, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message);
    }

    Desktop m_desktop;
    StampReceiver m_stamps;
    std::optional<CompositorStamp> m_stamp;
    const char* m_ids[2] = {"foot", "gcr-viewer"};
    QTemporaryDir m_folder;
    pid_t m_clients[2] = {-1, -1};
    int m_loads = 0;
    bool m_ready = false;
};

const char* backendName(ActivityBackend backend)
{
    switch (backend) {
    case ActivityBackend::x11:
        return "x11";
    case ActivityBackend::wlroots:
        return "wlroots";
    case ActivityBackend::kwin:
        return "kwin";
    case ActivityBackend::gnomeShell:
        return "gnome-shell";
    case ActivityBackend::none:
        break;
    }
    return "none";
}

QString text(const std::optional<QString>& value)
{
    return value ? QStringLiteral("\"%1\"").arg(*value) : QStringLiteral("none");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const auto option = [&](const char* name, int fallback) {
        const auto at = arguments.indexOf(QLatin1String(name));
        return at >= 0 ? arguments.value(at + 1).toInt() : fallback;
    };
    const int changes = std::max(2, option("--changes", 200));
    const int idleSeconds = std::max(1, option("--idle", 30));
    const int watchSeconds = option("--watch", 0);
    const bool sway = arguments.contains(QStringLiteral("--sway"));

    printMemory("at start");
    if (const int components = option("--catalog", 0); components > 0) {
        timeCatalogIndex(components);
        printMemory("after indexing the catalog");
        return 0;
    }
    std::unique_ptr<FocusDriver> driver;
    const auto client = arguments.indexOf(QStringLiteral("--client"));
    const QString clientPath = client >= 0 ? arguments.value(client + 1) : QString();
    if (sway)
        driver = std::make_unique<SwayDriver>();
    else if (arguments.contains(QStringLiteral("--kwin")))
        driver = std::make_unique<DesktopDriver>(DesktopDriver::Desktop::kwin, clientPath);
    else if (arguments.contains(QStringLiteral("--gnome-shell")))
        driver = std::make_unique<DesktopDriver>(DesktopDriver::Desktop::gnomeShell, clientPath);
    else if (watchSeconds == 0)
        driver = std::make_unique<X11Driver>();
    // --identify: X11 only, for the windows of programs started beforehand.
    if (driver && !driver->ready()) {
        std::printf("no window system to drive (X11: run under scripts/with-xvfb; sway: "
                    "--sway under scripts/as-unprivileged-user)\n");
        return 1;
    }

    const SessionFacts session = SessionFacts::fromEnvironment();
    const ActivityBackend backend = ApplicationActivitySelector::choose(session).backend;
    std::printf("backend %s\n", backendName(backend));
    printMemory("before the backend");
    const auto identity = ApplicationIdentity::fromEnvironment();
    const auto made = Clock_::now();
    const std::unique_ptr<ApplicationActivity> activity =
        ApplicationActivitySelector::make(session, identity);
    const auto front = activity->frontmostApplication(); // waits for the first reading
    std::printf("backend ready in %.1f ms (desktop entries and AppStream data indexed)\n",
                std::chrono::duration<double, std::milli>(Clock_::now() - made).count());
    printMemory("with the backend");

    if (arguments.contains(QStringLiteral("--identify"))) {
        // X11: brings each program's window to the front in turn and prints what is reported.
        auto* x11 = dynamic_cast<X11Driver*>(driver.get());
        if (!x11)
            return 1;
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<RunningApplication> last;
        const Subscription printing = activity->addActivationObserver([&](const auto& a) {
            std::lock_guard lock(mutex);
            last = a;
            arrived.notify_all();
        });
        for (const auto& [window, wmClass] : x11->programWindows()) {
            std::unique_lock lock(mutex);
            last.reset();
            x11->activate(window);
            if (arrived.wait_for(lock, 5s, [&] { return last.has_value(); }))
                std::printf("WM_CLASS %s: %s %s\n", qPrintable(wmClass),
                            qPrintable(text(last->bundleIdentifier)),
                            qPrintable(text(last->localizedName)));
        }
        return 0;
    }
    if (watchSeconds > 0) {
        std::printf("front now: %s\n",
                    front ? qPrintable(text(front->bundleIdentifier) + QStringLiteral(" ") +
                                       text(front->localizedName))
                          : "nothing");
        const Subscription printing = activity->addActivationObserver([](const auto& a) {
            std::printf("activation: %s %s\n", qPrintable(text(a.bundleIdentifier)),
                        qPrintable(text(a.localizedName)));
            std::fflush(stdout);
        });
        std::this_thread::sleep_for(std::chrono::seconds(watchSeconds));
        return 0;
    }

    // The reporter is registered first: handlers run in order, so the bench's own handler sees
    // each activation after the reporter has closed one segment and opened the next.
    ActivityReporter reporter(*activity, Clock::system());
    reporter.startUsageTracking();
    std::mutex mutex;
    std::condition_variable arrived;
    std::uint64_t seen = 0;
    Clock_::time_point lastArrival;
    std::chrono::system_clock::time_point lastArrivalRealtime;
    const Subscription timing = activity->addActivationObserver([&](const RunningApplication&) {
        const auto now = Clock_::now();
        const auto realtime = std::chrono::system_clock::now();
        std::lock_guard lock(mutex);
        ++seen;
        lastArrival = now;
        lastArrivalRealtime = realtime;
        arrived.notify_all();
    });

    // Settle on window 0 first, then alternate.
    driver->focus(0);
    {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, 10s, [&] { return seen > 0; });
    }
    std::this_thread::sleep_for(200ms);
    std::vector<double> latencies;
    // From the compositor's stamp, in µs; on a clock of whole ms, each is late by the stamp's
    // fraction of a millisecond, on average half of one.
    std::vector<double> fromStamp;
    std::optional<CompositorStamp::Clock> stampClock;
    const qint64 switchesBeforeChanges = otherThreadsSwitches();
    for (int i = 1; i <= changes; ++i) {
        std::uint64_t before;
        {
            std::lock_guard lock(mutex);
            before = seen;
        }
        const auto sent = Clock_::now();
        driver->focus(i & 1);
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, 10s, [&] { return seen > before; })) {
            std::printf("focus change %d: no activation within 10 s\n", i);
            break;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(lastArrival - sent).count());
        if (const auto stamp = driver->lastStamp()) {
            stampClock = stamp->clock;
            const qint64 arrival =
                stamp->clock == CompositorStamp::Clock::monotonicMicroseconds
                    ? std::chrono::duration_cast<std::chrono::microseconds>(
                          lastArrival.time_since_epoch())
                          .count()
                    : std::chrono::duration_cast<std::chrono::microseconds>(
                          lastArrivalRealtime.time_since_epoch())
                          .count();
            const qint64 stamped = stamp->clock == CompositorStamp::Clock::monotonicMicroseconds
                                       ? stamp->value
                                       : stamp->value * 1000;
            fromStamp.push_back(double(arrival - stamped));
        }
    }
    // The same count while focus changes: the backend wakes for each one.
    std::printf("during %zu focus changes: %lld wake-ups of the backend's threads\n",
                latencies.size(), otherThreadsSwitches() - switchesBeforeChanges);
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        const auto at = [&](double q) {
            return latencies[std::min(latencies.size() - 1, std::size_t(q * latencies.size()))];
        };
        std::printf("focus request -> reporter (with the bench's request): %zu changes, "
                    "median %.0f us, p90 %.0f us, max %.0f us\n",
                    latencies.size(), at(0.5), at(0.9), latencies.back());
    }
    if (!fromStamp.empty()) {
        std::sort(fromStamp.begin(), fromStamp.end());
        const auto at = [&](double q) {
            return fromStamp[std::min(fromStamp.size() - 1, std::size_t(q * fromStamp.size()))];
        };
        double mean = 0;
        for (const double value : fromStamp)
            mean += value / double(fromStamp.size());
        if (stampClock == CompositorStamp::Clock::monotonicMicroseconds) {
            std::printf("activation in the compositor -> reporter (monotonic clock, 1 us): %zu "
                        "changes, median %.0f us, p90 %.0f us, max %.0f us, mean %.0f us\n",
                        fromStamp.size(), at(0.5), at(0.9), fromStamp.back(), mean);
        } else {
            // Each figure carries the stamp's unknown fraction of a millisecond (0 to 1 ms,
            // evenly spread): the mean less half a millisecond is the mean latency; single
            // figures are only good to a millisecond.
            std::printf("activation in the compositor -> reporter (realtime clock, 1 ms steps): "
                        "%zu changes, mean %.0f us once the half step is taken off; with the "
                        "step: median %.0f us, p90 %.0f us, max %.0f us\n",
                        fromStamp.size(), mean - 500.0, at(0.5), at(0.9), fromStamp.back());
        }
    }
    if (const auto report = reporter.usageReport()) {
        for (const auto& item : report->items)
            std::printf("report item: %s %s, %lld s\n", qPrintable(item.packageName),
                        qPrintable(text(item.appLabel)), qint64(item.foregroundSeconds));
    }

    // Idle: nothing changes; every context switch of another thread is a wake-up.
    std::this_thread::sleep_for(1s);
    const qint64 before = otherThreadsSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const qint64 wakeUps = otherThreadsSwitches() - before;
    std::printf("idle %d s: %lld wake-ups of the backend's threads (%.1f per minute)\n",
                idleSeconds, wakeUps, wakeUps * 60.0 / idleSeconds);
    printMemory("at the end");
    reporter.stopUsageTracking();
    return 0;
}
