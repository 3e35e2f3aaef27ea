// The GNOME Shell backend against a real headless gnome-shell (scripts/with-gnome-shell) running
// the agent's extension, with real Wayland clients whose focus the Shell changes.
#include "Platform/Linux/GnomeShell/GnomeShellApplicationActivity.h"
#include "Platform/Linux/XdgAutostartLoginItem.h"
#include "Platform/Log.h"
#include "ReceivedApplications.h"
#include "TestApplicationWindows.h"
#include "TestSupport/Await.h"
#include "TestSupport/QtPrinters.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gmock/gmock.h>

#include <memory>
#include <vector>

namespace {

using testing::ElementsAre;

const QString socketName = QStringLiteral("orvane-shell-test");
const QString legacyUuid = QStringLiteral("activity-legacy@orvane.ai");
constexpr int timeoutMs = 30000;

bool logged(const Log::Capture& capture, const QString& part)
{
    for (const QString& message : capture.messages())
        if (message.contains(part))
            return true;
    return false;
}

TEST(GnomeShellExtension, EachShellVersionGetsTheFormatItLoads)
{
    const struct {
        const char* version;
        const char* uuid;
    } cases[] = {
        {"43.9", "activity-legacy@orvane.ai"},
        {"44", "activity-legacy@orvane.ai"},
        {"45.0", "activity@orvane.ai"},
        {"48.alpha", "activity@orvane.ai"},
        {"", "activity@orvane.ai"},
        {"not a version", "activity@orvane.ai"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GnomeShellApplicationActivity::extensionUuid(QString::fromUtf8(c.version)),
                  QString::fromUtf8(c.uuid))
            << c.version;
}

class GnomeShellApplicationActivityTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (qEnvironmentVariableIsEmpty("ORVANE_GNOME_SHELL"))
            GTEST_SKIP() << "run under scripts/with-gnome-shell";
        data = new QTemporaryDir;
        writeTestApplicationEntries(data->path());
        // The extension as built, the tests' own control extension, the entries, the system.
        qputenv("XDG_DATA_DIRS", QStringList{QStringLiteral(ORVANE_BUILD_SHARE),
                                             QStringLiteral(ORVANE_TEST_SHELL_DATA), data->path(),
                                             QStringLiteral("/usr/share")}
                                     .join(u':')
                                     .toUtf8());
        qputenv("XDG_DATA_HOME", data->filePath(QStringLiteral("home")).toUtf8());
        ChildProcess(QStringLiteral("gsettings"),
                     {QStringLiteral("set"), QStringLiteral("org.gnome.shell"),
                      QStringLiteral("enabled-extensions"),
                      QStringLiteral("['%1', 'test-control@orvane.ai']").arg(legacyUuid)})
            .waitForExit(30000);
        startShell();
    }

    static void TearDownTestSuite()
    {
        stopShell();
        delete data;
        data = nullptr;
    }

    void SetUp() override
    {
        if (!shell)
            GTEST_SKIP() << "no GNOME Shell";
        ASSERT_TRUE(shell->isRunning()) << "GNOME Shell died";
    }

    static bool onBus(const QString& name)
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(name);
    }

    static void startShell()
    {
        shell = new ChildProcess(qEnvironmentVariable("ORVANE_GNOME_SHELL"),
                                 {QStringLiteral("--headless"), QStringLiteral("--wayland"),
                                  QStringLiteral("--no-x11"), QStringLiteral("--virtual-monitor"),
                                  QStringLiteral("1024x768"), QStringLiteral("--wayland-display"),
                                  socketName},
                                 {}, true);
        ASSERT_TRUE(shell->started());
        ASSERT_TRUE(processEventsUntil(
            [] {
                return onBus(QStringLiteral("org.gnome.Shell")) &&
                       onBus(QString::fromLatin1(GnomeShellApplicationActivity::busName));
            },
            60000))
            << "GNOME Shell or its extension did not come up on the bus";
        // The Shell opens its overview once started up; windows get the focus once it is left.
        ASSERT_TRUE(processEventsUntil(
            [] {
                return eval(QStringLiteral("Main.layoutManager._startingUp")) ==
                       QStringLiteral("false");
            },
            timeoutMs));
        ASSERT_TRUE(processEventsUntil(
            [] {
                return eval(QStringLiteral("Main.overview.hide(); Main.overview.visible")) ==
                       QStringLiteral("false");
            },
            timeoutMs));
    }

    static void stopShell()
    {
        if (!shell)
            return;
        shell->stop();
        delete shell;
        shell = nullptr;
    }

    // Runs JavaScript in the Shell (opened by the control extension); its result as JSON.
    static QString eval(const QString& code)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
            QStringLiteral("org.gnome.Shell"), QStringLiteral("Eval"));
        message.setArguments({code});
        const QDBusMessage reply = QDBusConnection::sessionBus().call(message);
        return reply.arguments().size() == 2 && reply.arguments().at(0).toBool()
                   ? reply.arguments().at(1).toString()
                   : QStringLiteral("error: ") + reply.arguments().value(1).toString() +
                         reply.errorMessage();
    }

    static bool extensionCall(const QString& method)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
            QStringLiteral("org.gnome.Shell.Extensions"), method);
        message.setArguments({legacyUuid});
        const QDBusMessage reply = QDBusConnection::sessionBus().call(message);
        return !reply.arguments().isEmpty() && reply.arguments().constFirst().toBool();
    }

    static void activate(const QString& desktopId)
    {
        eval(QStringLiteral("global.get_window_actors().map(a => a.meta_window)"
                            ".filter(w => w.get_wm_class() == '%1')"
                            ".forEach(w => w.activate(global.get_current_time()))")
                 .arg(desktopId));
    }

    static inline QTemporaryDir* data = nullptr;
    static inline ChildProcess* shell = nullptr;
    TestApplicationWindows windows{socketName};
};

TEST_F(GnomeShellApplicationActivityTest, ReportsEachFocusedWindowsApplicationAndNoneWhenClosed)
{
    ReceivedApplications received;
    GnomeShellApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());

    ChildProcess& first = windows.open(QStringLiteral("org.orvane.TestAlpha"));
    ASSERT_TRUE(received.waitForLast(alpha()));
    ChildProcess& second = windows.open(QStringLiteral("org.orvane.TestBeta"));
    ASSERT_TRUE(received.waitForLast(beta()));
    activate(QStringLiteral("org.orvane.TestAlpha"));
    ASSERT_TRUE(received.waitForLast(alpha()));
    EXPECT_EQ(activity.frontmostApplication(), alpha());

    // A minimised window leaves the focus to the other one.
    eval(QStringLiteral("global.display.focus_window.minimize()"));
    ASSERT_TRUE(received.waitForLast(beta()));
    TestApplicationWindows::close(second);
    ASSERT_TRUE(received.waitForLast(RunningApplication{}));
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    TestApplicationWindows::close(first);
    // Each change once, in order.
    EXPECT_THAT(received.changesFrom(alpha()), ElementsAre(alpha(), beta(), alpha(), beta()));
}

TEST_F(GnomeShellApplicationActivityTest, WindowFocusedAtStartIsFrontmostAndLockedScreenIsNone)
{
    windows.open(QStringLiteral("org.orvane.TestBeta"));
    ASSERT_TRUE(processEventsUntil(
        [] {
            return eval(QStringLiteral("global.display.focus_window?.get_wm_class()")) ==
                   QStringLiteral("\"org.orvane.TestBeta\"");
        },
        timeoutMs));

    ReceivedApplications received;
    GnomeShellApplicationActivity activity;
    EXPECT_EQ(activity.frontmostApplication(), beta());
    const Subscription subscription = activity.addActivationObserver(received.handler());

    // What the screen shield does on locking; without a login manager the Shell has no shield.
    eval(QStringLiteral("Main.sessionMode.pushMode('unlock-dialog')"));
    ASSERT_TRUE(received.waitForLast(RunningApplication{}));
    eval(QStringLiteral("Main.sessionMode.popMode('unlock-dialog')"));
    EXPECT_TRUE(received.waitForLast(beta()));
}

TEST_F(GnomeShellApplicationActivityTest, DisabledExtensionIsLoggedOnceAndEnablingItIsFollowed)
{
    Log::Capture capture;
    windows.open(QStringLiteral("org.orvane.TestAlpha"));
    ReceivedApplications received;
    GnomeShellApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());
    ASSERT_TRUE(received.waitForLast(alpha()));

    ASSERT_TRUE(extensionCall(QStringLiteral("DisableExtension")));
    ASSERT_TRUE(received.waitForLast(RunningApplication{}));
    const QString line = QStringLiteral("GNOME Shell's extension %1 is disabled: no foreground "
                                        "application until it runs; enable it with "
                                        "\"gnome-extensions enable %1\"")
                             .arg(legacyUuid);
    EXPECT_TRUE(processEventsUntil([&] { return capture.messages().contains(line); }, timeoutMs));

    EXPECT_TRUE(GnomeShellApplicationActivity::enableExtension());
    EXPECT_TRUE(received.waitForLast(alpha()));
    EXPECT_EQ(capture.messages().count(line), 1);
}

TEST_F(GnomeShellApplicationActivityTest, ForgedMalformedAndHugeReportsHaveADefinedOutcome)
{
    windows.open(QStringLiteral("org.orvane.TestAlpha"));
    ReceivedApplications received;
    GnomeShellApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());
    ASSERT_TRUE(received.waitForLast(alpha()));

    const auto emitFrom = [](const QDBusConnection& bus, const QVariantList& arguments) {
        QDBusMessage signal = QDBusMessage::createSignal(
            QString::fromLatin1(GnomeShellApplicationActivity::objectPath),
            QString::fromLatin1(GnomeShellApplicationActivity::interfaceName),
            QStringLiteral("FocusChanged"));
        signal.setArguments(arguments);
        bus.send(signal);
    };
    // Another program on the bus cannot claim an application is in front.
    emitFrom(QDBusConnection::sessionBus(),
             {QStringLiteral("org.orvane.TestBeta.desktop"), QString(), QString(), QString(),
              QVariant::fromValue(0u)});
    // The Shell's own connection with a wrong signature, then with an id of two megabytes.
    const QString emit = QStringLiteral(
        "imports.gi.Gio.DBus.session.emit_signal(null, '/ai/orvane/ShellActivity',"
        " 'ai.orvane.ShellActivity', 'FocusChanged', new imports.gi.GLib.Variant(%1))");
    eval(emit.arg(QStringLiteral("'(s)', ['org.orvane.TestBeta.desktop']")));
    eval(emit.arg(QStringLiteral("'(ssssu)', ['a.b'.repeat(700000), 'Huge', 'huge', '', 1]")));
    ASSERT_TRUE(processEventsUntil([&] { return !received.lastIs(alpha()); }, timeoutMs));
    EXPECT_EQ(received.all().back().bundleIdentifier, std::nullopt);
    for (const auto& application : received.all())
        EXPECT_NE(application, beta());
    // The backend keeps following the Shell.
    windows.open(QStringLiteral("org.orvane.TestBeta"));
    EXPECT_TRUE(received.waitForLast(beta()));
}

TEST_F(GnomeShellApplicationActivityTest, RegisteringTheHelperEnablesTheExtension)
{
    ASSERT_TRUE(extensionCall(QStringLiteral("DisableExtension")));
    ASSERT_TRUE(processEventsUntil(
        [] { return !onBus(QString::fromLatin1(GnomeShellApplicationActivity::busName)); },
        timeoutMs));
    const QString bundle = data->filePath(QStringLiteral("bundle"));
    const QString helper = bundle + QStringLiteral("/LoginItems/Helper");
    QDir().mkpath(helper);
    QFile info(helper + QStringLiteral("/Info.json"));
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    info.write(R"({"CFBundleIdentifier": "ai.orvane.mac.helper"})");
    info.close();
    QFile program(helper + QStringLiteral("/Helper"));
    ASSERT_TRUE(program.open(QIODevice::WriteOnly));
    program.write("#!/bin/sh\n");
    program.close();
    program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    XdgAutostartLoginItem item(QStringLiteral("ai.orvane.mac.helper"),
                               data->filePath(QStringLiteral("autostart")), bundle);
    ASSERT_EQ(item.registerItem(), std::nullopt);
    EXPECT_TRUE(processEventsUntil(
        [] { return onBus(QString::fromLatin1(GnomeShellApplicationActivity::busName)); },
        timeoutMs));
}

// Last: it replaces the suite's Shell.
TEST_F(GnomeShellApplicationActivityTest, ShellRestartIsLoggedMeansNoApplicationAndIsFollowed)
{
    Log::Capture capture;
    ReceivedApplications received;
    GnomeShellApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());
    windows.open(QStringLiteral("org.orvane.TestAlpha"));
    ASSERT_TRUE(received.waitForLast(alpha()));

    stopShell();
    windows.closeAll();
    ASSERT_TRUE(received.waitForLast(RunningApplication{}));
    EXPECT_TRUE(processEventsUntil(
        [&] { return logged(capture, QStringLiteral("GNOME Shell is not on the session bus")); },
        timeoutMs));

    startShell();
    windows.open(QStringLiteral("org.orvane.TestBeta"));
    EXPECT_TRUE(received.waitForLast(beta()));
}

} // namespace
