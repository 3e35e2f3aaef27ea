// The X11 backend against a real X server (the test runs under scripts/with-xvfb). The test's
// own connection plays the applications and the window manager: it creates windows with the
// identifying properties and marks them active in _NET_ACTIVE_WINDOW on the root window.
#include "Platform/Linux/X11/X11ApplicationActivity.h"

#include "Platform/Linux/ApplicationIdentity.h"

#include "Platform/Log.h"
#include "TestSupport/ScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <X11/Xauth.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

void PrintTo(const RunningApplication& application, std::ostream* out)
{
    const auto text = [](const std::optional<QString>& value) {
        return value ? '"' + value->toStdString() + '"' : std::string("none");
    };
    *out << "{" << text(application.bundleIdentifier) << ", " << text(application.localizedName)
         << "}";
}

namespace {

using namespace std::chrono_literals;

struct WindowProperties {
    std::optional<QByteArray> gtkApplicationId;
    std::optional<QByteArray> kdeDesktopFile;
    std::optional<QByteArray> wmClass; // "instance\0class\0"
    std::optional<uint32_t> pid;       // _NET_WM_PID
};

class XClient {
public:
    XClient()
    {
        int screenNumber = 0;
        m_connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(m_connection))
            return;
        auto screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&screens);
        m_root = screens.data->root;
    }
    ~XClient() { xcb_disconnect(m_connection); }

    bool connected() const { return xcb_connection_has_error(m_connection) == 0; }

    xcb_atom_t atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(
            m_connection, xcb_intern_atom(m_connection, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return atom;
    }

    xcb_window_t createWindow(const WindowProperties& properties)
    {
        const xcb_window_t window = xcb_generate_id(m_connection);
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, m_root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const xcb_atom_t utf8 = atom("UTF8_STRING");
        setText(window, atom("_GTK_APPLICATION_ID"), utf8, properties.gtkApplicationId);
        setText(window, atom("_KDE_NET_WM_DESKTOP_FILE"), utf8, properties.kdeDesktopFile);
        setText(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, properties.wmClass);
        if (properties.pid)
            xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"),
                                XCB_ATOM_CARDINAL, 32, 1, &*properties.pid);
        sync();
        return window;
    }

    xcb_window_t unusedWindowId() { return xcb_generate_id(m_connection); }

    /** A top-level window whose WM_CLASS has this class, or none. */
    xcb_window_t windowOfClass(const QByteArray& wmClass)
    {
        auto* tree =
            xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr);
        if (!tree)
            return XCB_NONE;
        xcb_window_t found = XCB_NONE;
        const xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree) && found == XCB_NONE; ++i) {
            auto* reply =
                xcb_get_property_reply(m_connection,
                                       xcb_get_property(m_connection, 0, children[i],
                                                        XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
                                       nullptr);
            if (reply) {
                const QByteArray value(static_cast<const char*>(xcb_get_property_value(reply)),
                                       xcb_get_property_value_length(reply));
                if (value.split('\0').value(1) == wmClass)
                    found = children[i];
            }
            std::free(reply);
        }
        std::free(tree);
        return found;
    }

    void setActive(xcb_window_t window)
    {
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, m_root, atom("_NET_ACTIVE_WINDOW"),
                            XCB_ATOM_WINDOW, 32, 1, &window);
        sync();
    }

    void deleteActive()
    {
        xcb_delete_property(m_connection, m_root, atom("_NET_ACTIVE_WINDOW"));
        sync();
    }

    void setRootText(const char* name, const QByteArray& value)
    {
        setText(m_root, atom(name), XCB_ATOM_STRING, value);
        sync();
    }

private:
    void setText(xcb_window_t window, xcb_atom_t property, xcb_atom_t type,
                 const std::optional<QByteArray>& value)
    {
        if (value)
            xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, property, type, 8,
                                value->size(), value->constData());
    }

    // A round trip: the server has handled every request sent so far.
    void sync()
    {
        std::free(
            xcb_get_input_focus_reply(m_connection, xcb_get_input_focus(m_connection), nullptr));
    }

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = XCB_NONE;
};

// A second X server of the test's own, which it can take away. Started with fork and exec, not
// QProcess, whose vfork-style start confuses ThreadSanitizer.
class PrivateXServer {
public:
    explicit PrivateXServer(const std::vector<std::string>& arguments = {})
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            std::vector<const char*> argv = {"Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp"};
            for (const auto& argument : arguments)
                argv.push_back(argument.c_str());
            argv.push_back(nullptr);
            ::execvp("Xvfb", const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::close(fds[1]);
        // Xvfb writes its display number once it accepts connections, maybe in pieces; the
        // pipe stays open, as a write to a closed one would end the server.
        m_output = fds[0];
        pollfd readable{m_output, POLLIN, 0};
        QByteArray text;
        while (m_pid > 0 && !text.contains('\n') && ::poll(&readable, 1, 20000) == 1) {
            char buffer[16];
            const auto n = ::read(m_output, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, n);
        }
        if (text.contains('\n'))
            m_display = text.trimmed();
    }
    ~PrivateXServer() { stop(); }

    /** ":N", or empty when the server did not start. */
    QByteArray display() const { return m_display.isEmpty() ? QByteArray() : ':' + m_display; }

    /** Stops (true) or resumes the server's process: a stopped server answers nothing. */
    void pause(bool paused) const
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, paused ? SIGSTOP : SIGCONT);
        // The signal takes effect a moment later: wait until the process is seen stopped.
        const QString stat = QStringLiteral("/proc/%1/stat").arg(m_pid);
        for (auto deadline = std::chrono::steady_clock::now() + 20s;
             paused && std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(1ms)) {
            QFile file(stat);
            if (!file.open(QIODevice::ReadOnly))
                return;
            const QByteArray text = file.readAll();
            // "pid (name) state ...": the state follows the name's closing parenthesis.
            if (text.mid(text.lastIndexOf(')') + 2, 1) == "T")
                return;
        }
    }

    void stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
        if (m_output >= 0)
            ::close(m_output);
        m_output = -1;
    }

private:
    pid_t m_pid = -1;
    int m_output = -1;
    QByteArray m_display;
};

// A "server" of the test's own on a display's abstract socket: it accepts connections and never
// answers, not even the connection's setup.
class SilentXServer {
public:
    SilentXServer()
    {
        for (int n = 4000; n < 4096 && m_listener < 0; ++n) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
            std::memcpy(address.sun_path + 1, path.data(), path.size());
            const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + path.size());
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                ::listen(fd, 8) == 0) {
                m_listener = fd;
                m_display = n;
            } else {
                ::close(fd);
            }
        }
        if (m_listener < 0 || ::pipe2(m_stop, O_CLOEXEC) != 0)
            return;
        m_thread = std::thread([this] {
            for (;;) {
                pollfd descriptors[2] = {{m_listener, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
                if (::poll(descriptors, 2, -1) < 0 || descriptors[1].revents != 0)
                    return;
                const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                std::lock_guard lock(m_mutex);
                if (client >= 0)
                    m_clients.push_back(client);
                m_accepted.notify_all();
            }
        });
    }
    ~SilentXServer()
    {
        if (m_thread.joinable()) {
            [[maybe_unused]] const auto written = ::write(m_stop[1], "x", 1);
            m_thread.join();
        }
        for (const int fd : {m_listener, m_stop[0], m_stop[1]})
            if (fd >= 0)
                ::close(fd);
        for (const int fd : m_clients)
            ::close(fd);
    }

    /** ":N", or empty when no display number was free. */
    QByteArray display() const
    {
        return m_thread.joinable() ? ':' + QByteArray::number(m_display) : QByteArray();
    }

    /** Whether the count of connections accepted reached count. */
    bool waitForConnections(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_accepted.wait_for(lock, 20s, [&] { return m_clients.size() >= count; });
    }

private:
    int m_listener = -1;
    int m_display = -1;
    int m_stop[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_accepted;
    std::vector<int> m_clients;
    std::thread m_thread;
};

// Collects what a handler receives on the backend's thread.
class Recorder {
public:
    ApplicationActivity::ActivationHandler handler()
    {
        return [this](const RunningApplication& application) {
            std::lock_guard lock(m_mutex);
            m_seen.push_back(application);
            m_changed.notify_all();
        };
    }

    /** The activation with this index, waiting for it with a generous bound. */
    std::optional<RunningApplication> at(std::size_t index)
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, 20s, [&] { return m_seen.size() > index; }))
            return std::nullopt;
        return m_seen[index];
    }

    std::size_t count()
    {
        std::lock_guard lock(m_mutex);
        return m_seen.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<RunningApplication> m_seen;
};

RunningApplication app(std::optional<QString> identifier, std::optional<QString> name)
{
    return {std::move(identifier), std::move(name)};
}

class X11ApplicationActivityTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(x.connected()) << "no X server; run under scripts/with-xvfb";
        // The server hands a new connection the window ids of one that has gone: an earlier
        // test's active window must not look like this test's first one.
        x.setActive(XCB_NONE);
        ASSERT_TRUE(dataHome.isValid());
        writeEntry("org.example.Editor", "[Desktop Entry]\nType=Application\nName=Editor\n"
                                         "Name[de]=Bearbeiter\nName[fr]=\xc3\x89"
                                         "diteur\n");
        writeEntry("org.example.Viewer", "[Desktop Entry]\nName=Viewer\nName[fr]=Visionneuse\n");
        writeEntry("org.example.Nameless", "[Desktop Entry]\nType=Application\n");
        writeEntry("debian-xterm", "[Desktop Entry]\nName=XTerm\nStartupWMClass=XTerm\n");
        writeEntry("firefox-esr",
                   "[Desktop Entry]\nName=Firefox ESR\nStartupWMClass=Firefox-esr\n");
        // The backend reads these once, when it is made.
        environment.set("XDG_DATA_HOME", dataHome.path().toUtf8());
        environment.set("XDG_DATA_DIRS", dataHome.filePath(QStringLiteral("none")).toUtf8());
        environment.set("LANG", "de_DE.UTF-8");
        environment.unset("LC_ALL");
        environment.unset("LC_MESSAGES");
        environment.unset("LANGUAGE");
    }

    void writeEntry(const char* id, const QByteArray& contents)
    {
        QDir(dataHome.path()).mkpath(QStringLiteral("applications"));
        QFile file(dataHome.filePath(QStringLiteral("applications/%1.desktop").arg(id)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    XClient x;
    QTemporaryDir dataHome;
    ScopedEnvironment environment;
};

TEST_F(X11ApplicationActivityTest, ReportsEachActivatedWindowsApplication)
{
    const struct {
        const char* name;
        WindowProperties properties;
        RunningApplication expected;
    } cases[] = {
        {"GTK id, entry in the user's language",
         {"org.example.Editor", std::nullopt, QByteArray("editor\0Editor-Class\0", 20)},
         app("org.example.Editor", "Bearbeiter")},
        {"KDE desktop file, entry without the user's language",
         {std::nullopt, "org.example.Viewer", std::nullopt},
         app("org.example.Viewer", "Viewer")},
        {"GTK id before KDE desktop file",
         {"org.example.Editor", "org.example.Viewer", std::nullopt},
         app("org.example.Editor", "Bearbeiter")},
        {"empty GTK id is no id",
         {"", "org.example.Viewer", std::nullopt},
         app("org.example.Viewer", "Viewer")},
        {"no entry anywhere: no identifier, whatever WM_CLASS says",
         {"org.example.Unlisted", std::nullopt, QByteArray("unlisted\0Unlisted\0", 18)},
         app(std::nullopt, std::nullopt)},
        {"entry without a Name",
         {std::nullopt, "org.example.Nameless", QByteArray("nameless\0Nameless Tool\0", 23)},
         app("org.example.Nameless", std::nullopt)},
        {"only WM_CLASS: the class against StartupWMClass",
         {std::nullopt, std::nullopt, QByteArray("xterm\0XTerm\0", 12)},
         app("debian-xterm.desktop", "XTerm")},
        {"only WM_CLASS: the class against the desktop id",
         {std::nullopt, std::nullopt, QByteArray("Navigator\0firefox-esr\0", 22)},
         app("firefox-esr.desktop", "Firefox ESR")},
        {"WM_CLASS without a class part: the instance",
         {std::nullopt, std::nullopt, QByteArray("xterm\0", 6)},
         app("debian-xterm.desktop", "XTerm")},
        {"WM_CLASS of invalid UTF-8",
         {std::nullopt, std::nullopt, QByteArray("\xff\xfe\0XTerm\xff\0", 10)},
         app(std::nullopt, std::nullopt)},
        {"WM_CLASS of a megabyte",
         {std::nullopt, std::nullopt, QByteArray(1 << 20, 'x') + QByteArray("\0XTerm\0", 7)},
         app(std::nullopt, std::nullopt)},
        {"no properties", {}, app(std::nullopt, std::nullopt)},
    };

    X11ApplicationActivity activity;
    ASSERT_TRUE(activity.isWatching());
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());
    std::size_t index = 0;
    for (const auto& c : cases) {
        x.setActive(x.createWindow(c.properties));
        EXPECT_EQ(recorder.at(index++), c.expected) << c.name;
        EXPECT_EQ(activity.frontmostApplication(), c.expected) << c.name;
    }

    // A window that does not exist (or is already gone) has no properties to read.
    x.setActive(x.unusedWindowId());
    EXPECT_EQ(recorder.at(index++), app(std::nullopt, std::nullopt));
}

TEST_F(X11ApplicationActivityTest, WindowActiveAtStartIsFrontmost)
{
    x.setActive(x.createWindow({"org.example.Editor", std::nullopt, std::nullopt}));
    X11ApplicationActivity activity;
    EXPECT_EQ(activity.frontmostApplication(), app("org.example.Editor", "Bearbeiter"));
}

TEST_F(X11ApplicationActivityTest, FocusOnNoWindowIsAnApplicationWithoutIdentifierOrName)
{
    const auto editor = x.createWindow({"org.example.Editor", std::nullopt, std::nullopt});
    const auto viewer = x.createWindow({std::nullopt, "org.example.Viewer", std::nullopt});
    x.setActive(editor);
    X11ApplicationActivity activity;
    // Changes count from the first reading on.
    ASSERT_TRUE(activity.isWatching());
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());

    x.setActive(XCB_NONE);
    EXPECT_EQ(recorder.at(0), app(std::nullopt, std::nullopt));
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);

    // A removed property is no window either, which is not a change.
    x.deleteActive();
    x.setActive(viewer);
    EXPECT_EQ(recorder.at(1), app("org.example.Viewer", "Viewer"));
}

TEST_F(X11ApplicationActivityTest, OtherRootPropertiesAndRepeatsAreNoActivation)
{
    const auto editor = x.createWindow({"org.example.Editor", std::nullopt, std::nullopt});
    const auto viewer = x.createWindow({std::nullopt, "org.example.Viewer", std::nullopt});
    X11ApplicationActivity activity;
    // Changes count from the first reading on.
    ASSERT_TRUE(activity.isWatching());
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());

    x.setActive(editor);
    ASSERT_EQ(recorder.at(0), app("org.example.Editor", "Bearbeiter"));
    x.setRootText("_NET_DESKTOP_NAMES", "one");
    x.setActive(editor);
    x.setActive(viewer);
    // Events arrive in order: anything spurious would have come before the viewer.
    EXPECT_EQ(recorder.at(1), app("org.example.Viewer", "Viewer"));
}

TEST_F(X11ApplicationActivityTest, EndedSubscriptionIsNotCalled)
{
    const auto editor = x.createWindow({"org.example.Editor", std::nullopt, std::nullopt});
    X11ApplicationActivity activity;
    // Changes count from the first reading on.
    ASSERT_TRUE(activity.isWatching());
    Recorder ended, kept;
    Subscription first = activity.addActivationObserver(ended.handler());
    const Subscription second = activity.addActivationObserver(kept.handler());
    first.reset();

    x.setActive(editor);
    // Handlers run in the order they were added: the ended one would have run first.
    EXPECT_EQ(kept.at(0), app("org.example.Editor", "Bearbeiter"));
    EXPECT_EQ(ended.count(), 0u);
}

// Firefox, Chromium and most X11 programs identify a window only by WM_CLASS and _NET_WM_PID;
// the process leads to its application through the systemd scope it was launched in.
TEST_F(X11ApplicationActivityTest, WindowProcessLeadsToItsApplication)
{
    QTemporaryDir proc;
    ASSERT_TRUE(proc.isValid());
    ASSERT_TRUE(QDir(proc.path()).mkpath(QStringLiteral("4242")));
    QFile cgroup(proc.filePath(QStringLiteral("4242/cgroup")));
    ASSERT_TRUE(cgroup.open(QIODevice::WriteOnly));
    cgroup.write("0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
                 "app-gnome-firefox\\x2desr-4242.scope\n");
    cgroup.close();
    const auto identity = std::make_shared<ApplicationIdentity>(QStringList{dataHome.path()},
                                                                QStringList{QStringLiteral("de")},
                                                                QStringList{}, proc.path());

    X11ApplicationActivity activity(identity);
    // Changes count from the first reading on.
    ASSERT_TRUE(activity.isWatching());
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());
    x.setActive(x.createWindow(
        {std::nullopt, std::nullopt, QByteArray("Navigator\0Mystery-Browser\0", 26), 4242}));
    EXPECT_EQ(recorder.at(0), app("firefox-esr.desktop", "Firefox ESR"));
    x.setActive(x.createWindow({std::nullopt, std::nullopt, std::nullopt, 4243}));
    EXPECT_EQ(recorder.at(1), app(std::nullopt, std::nullopt)) << "a process without a scope";
}

// A real xterm, against the desktop entry Debian installs for it.
TEST_F(X11ApplicationActivityTest, RealXtermIsIdentifiedByItsInstalledEntry)
{
    if (::access("/usr/bin/xterm", X_OK) != 0 ||
        !QFile::exists(QStringLiteral("/usr/share/applications/debian-xterm.desktop")))
        GTEST_SKIP() << "xterm is not installed (scripts/install-deps installs it)";
    const pid_t xterm = ::fork();
    if (xterm == 0) {
        ::execl("/usr/bin/xterm", "xterm", "-e", "cat", nullptr);
        ::_exit(127);
    }
    ASSERT_GT(xterm, 0);
    xcb_window_t window = XCB_NONE;
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         window == XCB_NONE && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(20ms))
        window = x.windowOfClass("XTerm");

    const auto identity = std::make_shared<ApplicationIdentity>(
        QStringList{QStringLiteral("/usr/share")}, QStringList{QStringLiteral("de")});
    std::optional<RunningApplication> seen;
    if (window != XCB_NONE) {
        X11ApplicationActivity activity(identity);
        // Changes count from the first reading on.
        ASSERT_TRUE(activity.isWatching());
        Recorder recorder;
        const Subscription subscription = activity.addActivationObserver(recorder.handler());
        x.setActive(window);
        seen = recorder.at(0);
    }
    ::kill(xterm, SIGTERM);
    ::waitpid(xterm, nullptr, 0);
    ASSERT_NE(window, XCB_NONE) << "xterm opened no window";
    EXPECT_EQ(seen, app("debian-xterm.desktop", "XTerm"));
}

TEST_F(X11ApplicationActivityTest, LostServerEndsTheWatchAndEmptiesTheFront)
{
    PrivateXServer server;
    ASSERT_FALSE(server.display().isEmpty()) << "Xvfb did not start";
    environment.set("DISPLAY", server.display());

    const Log::Capture log;
    std::optional<RunningApplication> lost;
    {
        XClient client;
        ASSERT_TRUE(client.connected());
        client.setActive(client.createWindow({"org.example.Editor", std::nullopt, std::nullopt}));
        X11ApplicationActivity activity;
        ASSERT_EQ(activity.frontmostApplication(), app("org.example.Editor", "Bearbeiter"));
        Recorder recorder;
        const Subscription subscription = activity.addActivationObserver(recorder.handler());

        server.stop();
        lost = recorder.at(0);
        EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    }
    EXPECT_EQ(lost, app(std::nullopt, std::nullopt));
    EXPECT_EQ(log.messages(),
              (QStringList{QStringLiteral("Foreground application tracking uses X11 "
                                          "(_NET_ACTIVE_WINDOW on display \"%1\")")
                               .arg(QString::fromLatin1(server.display())),
                           "Foreground application tracking stopped: the X connection was lost"}));
}

TEST_F(X11ApplicationActivityTest, WithoutAnXDisplayThereIsNothingInFrontAndOneLogLine)
{
    using Setting = std::pair<const char*, std::optional<QByteArray>>; // none: unset
    const struct {
        const char* name;
        std::vector<Setting> settings;
    } cases[] = {
        {"no DISPLAY", {{"DISPLAY", std::nullopt}}},
        {"Wayland display, no session type",
         {{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_SESSION_TYPE", std::nullopt}}},
        {"Wayland session", {{"XDG_SESSION_TYPE", "wayland"}}},
        {"unreachable display", {{"DISPLAY", ":4095"}}},
        {"display name that cannot be read", {{"DISPLAY", "not a display"}}},
        {"display number beyond any port", {{"DISPLAY", "unix:99999999999"}}},
    };
    for (const auto& c : cases) {
        ScopedEnvironment scoped;
        for (const auto& [variable, value] : c.settings) {
            if (value)
                scoped.set(variable, *value);
            else
                scoped.unset(variable);
        }
        const Log::Capture log;
        {
            X11ApplicationActivity activity;
            EXPECT_FALSE(activity.isWatching()) << c.name;
            EXPECT_EQ(activity.frontmostApplication(), std::nullopt) << c.name;
            Recorder recorder;
            Subscription subscription = activity.addActivationObserver(recorder.handler());
            x.setActive(x.createWindow({"org.example.Editor", std::nullopt, std::nullopt}));
            subscription.reset();
        }
        const auto lines = log.messages();
        ASSERT_EQ(lines.size(), 1) << c.name;
        EXPECT_TRUE(lines[0].startsWith(u"Foreground application tracking is unavailable: "))
            << c.name << ": " << lines[0].toStdString();
    }
}

TEST_F(X11ApplicationActivityTest, ServerThatNeverAnswersHoldsUpOnlyTheBackendsThread)
{
    SilentXServer server;
    ASSERT_FALSE(server.display().isEmpty()) << "no display number free";
    environment.set("DISPLAY", server.display());
    const Log::Capture log;
    // Stopped while the connection's setup waits for the server: no line, no hang. Many times,
    // since a stop that lands between libxcb's poll and its write once ended the program with
    // SIGPIPE.
    constexpr std::size_t stops = 100;
    for (std::size_t n = 1; n <= stops; ++n) {
        X11ApplicationActivity activity;
        ASSERT_TRUE(server.waitForConnections(n));
    }
    EXPECT_EQ(log.messages(), QStringList{});
    {
        X11ApplicationActivity activity;
        ASSERT_TRUE(server.waitForConnections(stops + 1));
        EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
        EXPECT_FALSE(activity.isWatching());
        Recorder recorder;
        const Subscription subscription = activity.addActivationObserver(recorder.handler());
        EXPECT_EQ(recorder.count(), 0u);
    }
    EXPECT_EQ(log.messages(),
              QStringList{QStringLiteral("Foreground application tracking waits for the X display "
                                         "\"%1\": it has not answered yet")
                              .arg(QString::fromLatin1(server.display()))});
}

TEST_F(X11ApplicationActivityTest, ServerThatAnswersLateIsFollowedFromItsFirstReading)
{
    PrivateXServer server;
    ASSERT_FALSE(server.display().isEmpty()) << "Xvfb did not start";
    environment.set("DISPLAY", server.display());
    XClient client;
    ASSERT_TRUE(client.connected());
    client.setActive(client.createWindow({"org.example.Editor", std::nullopt, std::nullopt}));

    const Log::Capture log;
    server.pause(true);
    X11ApplicationActivity activity;
    // Asked while the server does not answer: nothing in front, for now.
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());
    server.pause(false);
    // What was said to be nothing turns out to be the editor: that is an activation.
    EXPECT_EQ(recorder.at(0), app("org.example.Editor", "Bearbeiter"));
    EXPECT_EQ(activity.frontmostApplication(), app("org.example.Editor", "Bearbeiter"));
    EXPECT_TRUE(activity.isWatching());
    const QString display = QString::fromLatin1(server.display());
    EXPECT_EQ(log.messages(),
              (QStringList{QStringLiteral("Foreground application tracking waits for the X "
                                          "display \"%1\": it has not answered yet")
                               .arg(display),
                           QStringLiteral("Foreground application tracking uses X11 "
                                          "(_NET_ACTIVE_WINDOW on display \"%1\")")
                               .arg(display)}));
}

TEST_F(X11ApplicationActivityTest, ConnectsWithTheCookieOfTheUsersAuthorityFile)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    // One cookie for any display, which the server requires once it is given the file.
    const QByteArray cookieFile = folder.filePath(QStringLiteral("cookie")).toLocal8Bit();
    {
        FILE* file = std::fopen(cookieFile.constData(), "wb");
        ASSERT_NE(file, nullptr);
        char name[] = "MIT-MAGIC-COOKIE-1";
        char data[] = "0123456789abcdef";
        char empty[] = "";
        Xauth entry{};
        entry.family = FamilyWild;
        entry.address = entry.number = empty;
        entry.name = name;
        entry.name_length = sizeof name - 1;
        entry.data = data;
        entry.data_length = sizeof data - 1;
        EXPECT_EQ(XauWriteAuth(file, &entry), 1);
        std::fclose(file);
    }
    const QByteArray fifo = folder.filePath(QStringLiteral("fifo")).toLocal8Bit();
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    PrivateXServer server({"-auth", cookieFile.toStdString()});
    ASSERT_FALSE(server.display().isEmpty()) << "Xvfb did not start";
    environment.set("DISPLAY", server.display());

    const struct {
        const char* name;
        QByteArray authority;
        bool watching;
    } cases[] = {
        {"the server's cookie", cookieFile, true},
        {"no authority file", folder.filePath(QStringLiteral("missing")).toLocal8Bit(), false},
        // Read as a file, it would block the backend's thread for ever.
        {"a FIFO as the authority file", fifo, false},
    };
    for (const auto& c : cases) {
        environment.set("XAUTHORITY", c.authority);
        const Log::Capture log;
        {
            X11ApplicationActivity activity;
            EXPECT_EQ(activity.isWatching(), c.watching) << c.name;
        }
        const QStringList lines = log.messages();
        ASSERT_EQ(lines.size(), 1) << c.name;
        EXPECT_TRUE(lines[0].startsWith(c.watching ? u"Foreground application tracking uses X11"
                                                   : u"Foreground application tracking is "
                                                     u"unavailable: cannot connect"))
            << c.name << ": " << lines[0].toStdString();
    }
}

} // namespace
