// The wlroots backend against a real headless sway with real clients: foot, and the tests' own
// Wayland client (wayland_test_client) with a desktop entry of the test's own. Each test starts
// its own sway; focus is changed with swaymsg, as headless sway has no keyboard. Runs under
// scripts/as-unprivileged-user, as sway refuses root.
#include "Platform/Linux/ApplicationIdentity.h"
#include "Platform/Linux/Wlroots/WlrootsApplicationActivity.h"
#include "Platform/Log.h"
#include "TestSupport/ScopedEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
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

RunningApplication app(std::optional<QString> identifier, std::optional<QString> name)
{
    return {std::move(identifier), std::move(name)};
}

const RunningApplication noApplication = app(std::nullopt, std::nullopt);

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

    /** The next activation not yet taken, waiting for it with a generous bound. */
    std::optional<RunningApplication> next()
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, 30s, [&] { return m_seen.size() > m_taken; }))
            return std::nullopt;
        return m_seen[m_taken++];
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
    std::size_t m_taken = 0;
};

// Programs are started with fork and exec, not QProcess, whose vfork-style start
// ThreadSanitizer refuses in a process with threads.
pid_t spawn(const QStringList& arguments)
{
    std::vector<QByteArray> bytes;
    for (const auto& argument : arguments)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (auto& argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The exit status of a program, or -1 when it did not end within the bound (it is then killed).
int runToEnd(const QStringList& arguments)
{
    const pid_t pid = spawn(arguments);
    if (pid < 0)
        return -1;
    int status = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

// A headless sway of the test's own; it tells its display and IPC socket through a file its
// config writes once it runs.
class Sway {
public:
    explicit Sway(const QString& folder) : m_folder(folder)
    {
        const QString ready = folder + QStringLiteral("/ready");
        QFile config(folder + QStringLiteral("/config"));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral("xwayland disable\n"
                                    "exec sh -c 'printf \"%s\\n%s\\n\" \"$WAYLAND_DISPLAY\" "
                                    "\"$SWAYSOCK\" > %1.tmp && mv %1.tmp %1'\n")
                         .arg(ready)
                         .toUtf8());
        config.close();

        m_pid = ::fork();
        if (m_pid == 0) {
            ::setenv("WLR_BACKENDS", "headless", 1);
            ::setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
            ::setenv("WLR_RENDERER", "pixman", 1);
            ::unsetenv("WAYLAND_DISPLAY");
            ::unsetenv("DISPLAY");
            const QByteArray log = (m_folder + QStringLiteral("/sway.log")).toLocal8Bit();
            if (FILE* out = std::freopen(log.constData(), "w", stderr))
                (void)out;
            const QByteArray path = config.fileName().toLocal8Bit();
            ::execlp("sway", "sway", "-c", path.constData(), nullptr);
            ::_exit(127);
        }
        for (auto deadline = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < deadline && !QFile::exists(ready);
             std::this_thread::sleep_for(20ms)) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
        }
        QFile file(ready);
        if (!file.open(QIODevice::ReadOnly))
            return;
        const QList<QByteArray> lines = file.readAll().split('\n');
        m_display = lines.value(0);
        m_socket = lines.value(1);
    }
    ~Sway() { stop(); }

    bool running() const { return m_pid > 0 && !m_display.isEmpty() && !m_socket.isEmpty(); }
    QByteArray display() const { return m_display; }
    QString log() const
    {
        QFile file(m_folder + QStringLiteral("/sway.log"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().right(2000))
                                              : QString();
    }

    /** Runs swaymsg with these arguments; true when sway accepted the command. */
    bool command(const QStringList& arguments) const
    {
        return runToEnd(QStringList{QStringLiteral("swaymsg"), QStringLiteral("-s"),
                                    QString::fromLocal8Bit(m_socket)} +
                        arguments) == 0;
    }

    void stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    QString m_folder;
    pid_t m_pid = -1;
    QByteArray m_display;
    QByteArray m_socket;
};

class Client {
public:
    explicit Client(const QStringList& arguments) : m_pid(spawn(arguments)) {}
    ~Client() { close(); }

    void close()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

class WlrootsApplicationActivityTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        const QString applications = folder.filePath(QStringLiteral("data/applications"));
        QDir().mkpath(applications);
        ASSERT_TRUE(QFile::copy(qEnvironmentVariable("ORVANE_SOURCE_DIR") +
                                    QStringLiteral("/tests/Platform/fixtures/identity/"
                                                   "applications/foot.desktop"),
                                applications + QStringLiteral("/foot.desktop")));
        QFile entry(applications + QStringLiteral("/org.orvane.TestClient.desktop"));
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Test Client\n"
                    "Name[de]=Testprogramm\nExec=wayland_test_client org.orvane.TestClient\n");
        entry.close();
        identity = std::make_shared<ApplicationIdentity>(
            QStringList{folder.filePath(QStringLiteral("data"))},
            QStringList{QStringLiteral("de")});

        sway = std::make_unique<Sway>(folder.path());
        ASSERT_TRUE(sway->running()) << "sway did not start: " << sway->log().toStdString();
        environment.set("WAYLAND_DISPLAY", sway->display());
        // Where clients put their sockets and the backend looks for the display.
        ASSERT_FALSE(qEnvironmentVariable("XDG_RUNTIME_DIR").isEmpty());
    }

    std::unique_ptr<Client> testClient(const QString& appId)
    {
        return std::make_unique<Client>(QStringList{QStringLiteral(WAYLAND_TEST_CLIENT), appId});
    }
    std::unique_ptr<Client> foot()
    {
        return std::make_unique<Client>(
            QStringList{QStringLiteral("foot"), QStringLiteral("--override=shell=/bin/cat")});
    }

    QTemporaryDir folder;
    ScopedEnvironment environment;
    std::shared_ptr<const ApplicationIdentity> identity;
    std::unique_ptr<Sway> sway;
};

const RunningApplication footApp = app(QStringLiteral("foot.desktop"), QStringLiteral("Foot"));
const RunningApplication testApp =
    app(QStringLiteral("org.orvane.TestClient"), QStringLiteral("Testprogramm"));

TEST_F(WlrootsApplicationActivityTest, FollowsFocusBetweenRealClients)
{
    WlrootsApplicationActivity activity(identity);
    ASSERT_TRUE(activity.isWatching());
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());

    const auto terminal = foot();
    ASSERT_EQ(recorder.next(), footApp);
    const auto client = testClient(QStringLiteral("org.orvane.TestClient"));
    ASSERT_EQ(recorder.next(), testApp);

    ASSERT_TRUE(sway->command({QStringLiteral("[app_id=foot]"), QStringLiteral("focus")}));
    EXPECT_EQ(recorder.next(), footApp);
    EXPECT_EQ(activity.frontmostApplication(), footApp);
    ASSERT_TRUE(
        sway->command({QStringLiteral("[app_id=org.orvane.TestClient]"), QStringLiteral("focus")}));
    EXPECT_EQ(recorder.next(), testApp);
    EXPECT_EQ(activity.frontmostApplication(), testApp);
}

TEST_F(WlrootsApplicationActivityTest, EmptyWorkspaceClosedWindowsAndUnknownAppsEndTheFront)
{
    WlrootsApplicationActivity activity(identity);
    Recorder recorder;
    const Subscription subscription = activity.addActivationObserver(recorder.handler());
    auto client = testClient(QStringLiteral("org.orvane.TestClient"));
    ASSERT_EQ(recorder.next(), testApp);

    // The desktop of an empty workspace is in front: no application.
    ASSERT_TRUE(sway->command({QStringLiteral("workspace"), QStringLiteral("2")}));
    EXPECT_EQ(recorder.next(), noApplication);
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    ASSERT_TRUE(sway->command({QStringLiteral("workspace"), QStringLiteral("1")}));
    EXPECT_EQ(recorder.next(), testApp);

    // Windows whose app id names no desktop entry: unknown, megabyte-sized cut by the wire,
    // invalid UTF-8.
    for (const QString& appId : {QStringLiteral("org.example.NoEntry"), QString(3000, u'x'),
                                 QString::fromUtf8("\xff\xfe\xfd")}) {
        auto unknown = testClient(appId);
        EXPECT_EQ(recorder.next(), app(std::nullopt, std::nullopt));
        EXPECT_EQ(activity.frontmostApplication(), app(std::nullopt, std::nullopt));
        unknown->close();
        // Sway gives the focus back to the remaining window.
        EXPECT_EQ(recorder.next(), testApp);
    }

    // The last window closes: no application.
    client->close();
    EXPECT_EQ(recorder.next(), noApplication);
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
}

TEST_F(WlrootsApplicationActivityTest, WindowInFrontAtStartIsFrontmost)
{
    const auto client = testClient(QStringLiteral("org.orvane.TestClient"));
    {
        // Wait until sway has mapped it, through a first backend.
        WlrootsApplicationActivity first(identity);
        Recorder recorder;
        const Subscription subscription = first.addActivationObserver(recorder.handler());
        if (first.frontmostApplication() != testApp) {
            ASSERT_EQ(recorder.next(), testApp);
        }
    }
    WlrootsApplicationActivity activity(identity);
    EXPECT_EQ(activity.frontmostApplication(), testApp);
}

TEST_F(WlrootsApplicationActivityTest, CompositorThatDiesIsLoggedOnceAndEmptiesTheFront)
{
    const Log::Capture log;
    const auto client = testClient(QStringLiteral("org.orvane.TestClient"));
    std::optional<RunningApplication> lost;
    {
        WlrootsApplicationActivity activity(identity);
        Recorder recorder;
        const Subscription subscription = activity.addActivationObserver(recorder.handler());
        if (activity.frontmostApplication() != testApp) {
            ASSERT_EQ(recorder.next(), testApp);
        }
        sway->stop();
        lost = recorder.next();
        EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    }
    EXPECT_EQ(lost, noApplication);
    EXPECT_EQ(log.messages(), QStringList{"Foreground application tracking stopped: the Wayland "
                                          "compositor went away"});
}

TEST_F(WlrootsApplicationActivityTest, WithoutACompositorThereIsNothingInFrontAndOneLogLine)
{
    environment.set("WAYLAND_DISPLAY", "orvane-no-such-display");
    const Log::Capture log;
    {
        WlrootsApplicationActivity activity(identity);
        EXPECT_FALSE(activity.isWatching());
        EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    }
    EXPECT_EQ(log.messages(),
              QStringList{"Foreground application tracking is unavailable: cannot connect to the "
                          "Wayland display \"orvane-no-such-display\""});
}

} // namespace
