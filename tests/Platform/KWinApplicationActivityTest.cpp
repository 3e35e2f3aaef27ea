// The KWin backend against a real headless kwin_wayland (scripts/with-kwin), with real Wayland
// clients whose focus KWin changes.
#include "Platform/Linux/KWin/KWinApplicationActivity.h"
#include "Platform/Log.h"
#include "ReceivedApplications.h"
#include "TestApplicationWindows.h"
#include "TestSupport/Await.h"
#include "TestSupport/QtPrinters.h"
#include "TestSupport/ScopedEnvironment.h"

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

const QString socketName = QStringLiteral("orvane-kwin-test");

class KWinApplicationActivityTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (qEnvironmentVariableIsEmpty("ORVANE_KWIN_BINARY"))
            GTEST_SKIP() << "run under scripts/with-kwin";
        data = new QTemporaryDir;
        writeTestApplicationEntries(data->path());
        qputenv("XDG_DATA_DIRS", data->path().toUtf8());
        qputenv("XDG_DATA_HOME", data->filePath(QStringLiteral("home")).toUtf8());
        startKWin();
    }

    static void TearDownTestSuite()
    {
        stopKWin();
        delete data;
        data = nullptr;
    }

    void SetUp() override
    {
        if (!kwin)
            GTEST_SKIP() << "no KWin";
        ASSERT_TRUE(kwin->isRunning()) << "KWin died";
    }

    static void startKWin()
    {
        kwin = new ChildProcess(qEnvironmentVariable("ORVANE_KWIN_BINARY"),
                                {QStringLiteral("--virtual"), QStringLiteral("--no-lockscreen"),
                                 QStringLiteral("--socket"), socketName},
                                {{"QT_QPA_PLATFORM", std::nullopt}}, true);
        ASSERT_TRUE(kwin->started());
        ASSERT_TRUE(processEventsUntil(
            [] {
                return QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    QStringLiteral("org.kde.KWin"));
            },
            60000))
            << "KWin did not come up on the bus";
    }

    static void stopKWin()
    {
        if (!kwin)
            return;
        kwin->stop();
        delete kwin;
        kwin = nullptr;
    }

    // Runs a script inside KWin, as a user's own script would.
    static void runInKWin(const QString& body)
    {
        static int n = 0;
        const QString name = QStringLiteral("orvane-test-%1").arg(n++);
        const QString path = data->filePath(name + QStringLiteral(".js"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(body.toUtf8());
        file.close();
        const QDBusMessage loaded = kwinCall(QStringLiteral("loadScript"), {path, name});
        ASSERT_EQ(loaded.type(), QDBusMessage::ReplyMessage) << loaded.errorMessage().toStdString();
        // run() evaluates the script before it answers, so it can be unloaded right after.
        const int id = loaded.arguments().value(0).toInt();
        for (const QString& path :
             {QStringLiteral("/Scripting/Script%1").arg(id), QStringLiteral("/%1").arg(id)}) {
            QDBusMessage run = QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), path,
                                                              QStringLiteral("org.kde.kwin.Script"),
                                                              QStringLiteral("run"));
            if (QDBusConnection::sessionBus().call(run).type() == QDBusMessage::ReplyMessage)
                break;
        }
        kwinCall(QStringLiteral("unloadScript"), {name});
    }

    static void activate(const QString& desktopId)
    {
        runInKWin(QStringLiteral("var all = workspace.clientList();"
                                 "for (var i = 0; i < all.length; ++i)"
                                 "  if (all[i].desktopFileName == '%1') workspace.activeClient = "
                                 "all[i];")
                      .arg(desktopId));
    }

    static QDBusMessage kwinCall(const QString& method, const QVariantList& arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
            QStringLiteral("org.kde.kwin.Scripting"), method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message);
    }

    static bool scriptLoaded(const QString& pluginName)
    {
        const QDBusMessage reply = kwinCall(QStringLiteral("isScriptLoaded"), {pluginName});
        return !reply.arguments().isEmpty() && reply.arguments().constFirst().toBool();
    }

    static QString backendBusName()
    {
        const QStringList names =
            QDBusConnection::sessionBus().interface()->registeredServiceNames().value();
        QString found;
        for (const QString& name : names)
            if (name.startsWith(QStringLiteral("ai.orvane.KWinActivity.")))
                found = name;
        return found;
    }

    static inline QTemporaryDir* data = nullptr;
    static inline ChildProcess* kwin = nullptr;
    TestApplicationWindows windows{socketName};
};

constexpr int timeoutMs = 30000;

TEST_F(KWinApplicationActivityTest, ReportsEachActivatedWindowsApplicationAndNoneWhenClosed)
{
    ReceivedApplications received;
    KWinApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());

    ChildProcess& first = windows.open(QStringLiteral("org.orvane.TestAlpha"));
    ASSERT_TRUE(received.waitForLast(alpha()));
    ChildProcess& second = windows.open(QStringLiteral("org.orvane.TestBeta"));
    ASSERT_TRUE(received.waitForLast(beta()));
    activate(QStringLiteral("org.orvane.TestAlpha"));
    ASSERT_TRUE(received.waitForLast(alpha()));
    EXPECT_EQ(activity.frontmostApplication(), alpha());

    TestApplicationWindows::close(first);
    ASSERT_TRUE(received.waitForLast(beta()));
    TestApplicationWindows::close(second);
    ASSERT_TRUE(received.waitForLast(RunningApplication{}));
    EXPECT_EQ(activity.frontmostApplication(), std::nullopt);
    // Each change once, in order. KWin leaves a closed window's focus empty for a moment
    // before it gives it to the next window, which is reported too.
    EXPECT_THAT(received.changesFrom(alpha()), ElementsAre(alpha(), beta(), alpha(), beta()));
}

TEST_F(KWinApplicationActivityTest, WindowActiveAtStartIsFrontmostAndScriptLivesWithTheSubscription)
{
    windows.open(QStringLiteral("org.orvane.TestBeta"));
    {
        // Wait until KWin has focused it, through a backend of its own.
        ReceivedApplications received;
        KWinApplicationActivity probe;
        const Subscription subscription = probe.addActivationObserver(received.handler());
        ASSERT_TRUE(received.waitForLast(beta()));
    }

    ReceivedApplications received;
    KWinApplicationActivity activity;
    EXPECT_EQ(activity.frontmostApplication(), beta());
    Subscription subscription = activity.addActivationObserver(received.handler());
    EXPECT_TRUE(processEventsUntil([&] { return scriptLoaded(activity.pluginName()); }, timeoutMs));
    subscription.reset();
    EXPECT_TRUE(
        processEventsUntil([&] { return !scriptLoaded(activity.pluginName()); }, timeoutMs));
}

TEST_F(KWinApplicationActivityTest, HugeOrForeignReportsHaveADefinedOutcome)
{
    ReceivedApplications received;
    KWinApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());
    ASSERT_TRUE(processEventsUntil([&] { return !backendBusName().isEmpty(); }, timeoutMs));
    const QString busName = backendBusName();

    // Another program on the bus cannot claim an application is in front.
    QDBusMessage forged = QDBusMessage::createMethodCall(busName, QStringLiteral("/Activity"),
                                                         QStringLiteral("ai.orvane.KWinActivity"),
                                                         QStringLiteral("Activated"));
    forged.setArguments(
        {QStringLiteral("org.orvane.TestAlpha"), QString(), QString(), QStringLiteral("1")});
    QDBusConnection::sessionBus().call(forged);

    // KWin itself reporting a desktop-file name of two megabytes and a lone surrogate: the
    // name is dropped, the window's class still leads to its entry.
    runInKWin(
        QStringLiteral("var big = 'a.b'; while (big.length < 2000000) big += big;"
                       "callDBus('%1', '/Activity', 'ai.orvane.KWinActivity', 'Activated',"
                       "         big, 'org.orvane.TestBeta', 'x\\uD800', '99999999999999999999');")
            .arg(busName));
    ASSERT_TRUE(received.waitForLast(beta()));
    for (const auto& application : received.all())
        EXPECT_NE(application, alpha());
}

// Last: it replaces the suite's KWin.
TEST_F(KWinApplicationActivityTest, KWinRestartIsLoggedMeansNoApplicationAndIsFollowed)
{
    Log::Capture capture;
    ReceivedApplications received;
    KWinApplicationActivity activity;
    const Subscription subscription = activity.addActivationObserver(received.handler());
    windows.open(QStringLiteral("org.orvane.TestAlpha"));
    ASSERT_TRUE(received.waitForLast(alpha()));

    windows.closeAll();
    stopKWin();
    ASSERT_TRUE(received.waitForLast(RunningApplication{}));
    EXPECT_TRUE(processEventsUntil(
        [&] {
            return capture.messages().contains(QStringLiteral(
                "KWin left the session bus: no foreground application until it returns"));
        },
        timeoutMs));

    startKWin();
    windows.open(QStringLiteral("org.orvane.TestBeta"));
    EXPECT_TRUE(received.waitForLast(beta())) << capture.messages().join(u'\n').toStdString();
}

} // namespace
