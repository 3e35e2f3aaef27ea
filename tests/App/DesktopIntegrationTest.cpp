// The tray item and the single instance against a real session bus (a private one): a
// StatusNotifierWatcher of the test's own as the tray's peer, and the real program started twice.
#include "App/ApplicationInstance.h"
#include "App/StatusNotifierItem.h"
#include "App/TrayItem.h"
#include "TestSupport/Await.h"
#include "TestSupport/StatusNotifierWatcherPeer.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

namespace {

constexpr int busTimeoutMs = 20000;

std::unique_ptr<StatusNotifierItem> makeItem()
{
    return std::make_unique<StatusNotifierItem>(QStringLiteral("ai.orvane.mac"),
                                                QStringLiteral("Orvane"), QString(),
                                                QIcon(QPixmap(16, 16)));
}

TEST(StatusNotifierItemTest, RegistersWithAWatcherThatIsThereAtStart)
{
    StatusNotifierWatcherPeer watcher;
    ASSERT_TRUE(watcher.start());
    const auto item = makeItem();
    ASSERT_FALSE(item->serviceName().isEmpty());
    // At start the answer is known at once: the program decides on a window by it.
    EXPECT_TRUE(item->isHosted());
    EXPECT_EQ(watcher.items(), QStringList{item->serviceName()});
}

TEST(StatusNotifierItemTest, RegistersAgainWheneverAWatcherAppears)
{
    const auto item = makeItem();
    EXPECT_FALSE(item->isHosted()); // no tray yet
    QSignalSpy hosted(item.get(), &StatusNotifierItem::hostedChanged);

    // A tray that starts after the program (the login race).
    StatusNotifierWatcherPeer watcher;
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(processEventsUntil([&] { return item->isHosted(); }, busTimeoutMs));
    EXPECT_EQ(watcher.items(), QStringList{item->serviceName()});

    // The panel restarts: the watcher goes away and a new one comes.
    watcher.stop();
    ASSERT_TRUE(processEventsUntil([&] { return !item->isHosted(); }, busTimeoutMs));
    StatusNotifierWatcherPeer next;
    ASSERT_TRUE(next.start());
    ASSERT_TRUE(processEventsUntil([&] { return item->isHosted(); }, busTimeoutMs));
    EXPECT_EQ(next.items(), QStringList{item->serviceName()});

    ASSERT_EQ(hosted.size(), 3);
    EXPECT_EQ(hosted.at(0).at(0).toBool(), true);
    EXPECT_EQ(hosted.at(1).at(0).toBool(), false);
    EXPECT_EQ(hosted.at(2).at(0).toBool(), true);
}

TEST(StatusNotifierItemTest, AWatcherWithoutHostDoesNotCountAsATrayUntilOneRegisters)
{
    StatusNotifierWatcherPeer watcher(/*withHost=*/false);
    ASSERT_TRUE(watcher.start());
    const auto item = makeItem();
    EXPECT_EQ(watcher.items(), QStringList{item->serviceName()});
    EXPECT_FALSE(item->isHosted());

    watcher.RegisterStatusNotifierHost(QStringLiteral("org.kde.StatusNotifierHost-1"));
    EXPECT_TRUE(processEventsUntil([&] { return item->isHosted(); }, busTimeoutMs));
}

TEST(StatusNotifierItemTest, AClickOfTheHostActivatesTheItem)
{
    StatusNotifierWatcherPeer watcher;
    ASSERT_TRUE(watcher.start());
    const auto item = makeItem();
    QSignalSpy activated(item.get(), &StatusNotifierItem::activated);

    struct Case {
        const char* method;
        int x, y;
        QPoint expected;
    } cases[] = {
        {"Activate", 1200, 5, QPoint(1200, 5)},
        {"Activate", 0, 0, QPoint()}, // a host that knows no position
        {"SecondaryActivate", 30, 700, QPoint(30, 700)},
        {"ContextMenu", 31, 701, QPoint(31, 701)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        activated.clear();
        ASSERT_TRUE(watcher.callItem(item->serviceName(), QString::fromLatin1(c.method), c.x, c.y));
        ASSERT_TRUE(processEventsUntil([&] { return !activated.isEmpty(); }, busTimeoutMs));
        EXPECT_EQ(activated.first().first().toPoint(), c.expected);
    }
}

TEST(StatusNotifierItemTest, HostsReadTheItemsProperties)
{
    StatusNotifierWatcherPeer watcher;
    ASSERT_TRUE(watcher.start());
    const auto item = makeItem();
    QDBusConnection peer = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "host");
    QDBusMessage call = QDBusMessage::createMethodCall(
        item->serviceName(), QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call << QStringLiteral("org.kde.StatusNotifierItem");
    const QDBusMessage answer = peer.call(call, QDBus::BlockWithGui, busTimeoutMs);
    ASSERT_EQ(answer.type(), QDBusMessage::ReplyMessage) << qPrintable(answer.errorMessage());
    const QVariantMap properties =
        qdbus_cast<QVariantMap>(answer.arguments().first().value<QDBusArgument>());
    EXPECT_EQ(properties.value("Id").toString(), "ai.orvane.mac");
    EXPECT_EQ(properties.value("Title").toString(), "Orvane");
    EXPECT_EQ(properties.value("Status").toString(), "Active");
    EXPECT_EQ(properties.value("Category").toString(), "ApplicationStatus");
    EXPECT_FALSE(properties.value("ItemIsMenu").toBool());
    EXPECT_TRUE(properties.contains("IconPixmap"));
    EXPECT_TRUE(properties.contains("ToolTip"));
    QDBusConnection::disconnectFromBus("host");
}

TEST(TrayItemTest, OffersTheItemWhenATrayComesLater)
{
    TrayItem tray(QStringLiteral("ai.orvane.mac"), QStringLiteral("Orvane"), QString(),
                  QIcon(QPixmap(16, 16)));
    EXPECT_FALSE(tray.isHosted()); // offscreen: no XEmbed tray either
    QSignalSpy hosted(&tray, &TrayItem::hostedChanged);
    StatusNotifierWatcherPeer watcher;
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(processEventsUntil([&] { return tray.isHosted(); }, busTimeoutMs));
    EXPECT_EQ(watcher.items(), QStringList{tray.statusNotifierItem()->serviceName()});
}

TEST(ApplicationInstanceTest, TheFirstOwnsTheSessionAndTheNextActivatesIt)
{
    ApplicationInstance first;
    ASSERT_EQ(first.claim(), ApplicationInstance::Role::primary);
    QSignalSpy activated(&first, &ApplicationInstance::activated);

    // A second start is another peer on the bus.
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "second");
    {
        ApplicationInstance second(other);
        EXPECT_EQ(second.claim(), ApplicationInstance::Role::secondary);
    }
    // The freedesktop call a launcher makes; answered on this thread's loop, so sent unblocked.
    QDBusMessage call = QDBusMessage::createMethodCall("ai.orvane.mac", "/ai/orvane/mac",
                                                       "org.freedesktop.Application", "Activate");
    call << QVariantMap();
    ASSERT_TRUE(other.send(call));
    EXPECT_TRUE(processEventsUntil([&] { return activated.size() == 1; }, busTimeoutMs));
    QDBusConnection::disconnectFromBus("second");
}

TEST(ApplicationInstanceTest, WithoutSessionBusTheProgramRunsAlone)
{
    ApplicationInstance instance(QDBusConnection(QStringLiteral("not-connected")));
    EXPECT_EQ(instance.claim(), ApplicationInstance::Role::alone);
}

/** The real program started twice in one session: the second start ends, the first runs on. */
TEST(ApplicationInstanceTest, ASecondStartOfTheProgramShowsTheRunningOneAndEnds)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");

    QProcess first;
    first.setProcessEnvironment(environment);
    first.setProcessChannelMode(QProcess::MergedChannels);
    first.start(QStringLiteral(ORVANE_APP_EXECUTABLE), {});
    ASSERT_TRUE(first.waitForStarted());
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(processEventsUntil(
        [&] { return bus.interface()->isServiceRegistered("ai.orvane.mac").value(); },
        busTimeoutMs));

    QProcess second;
    second.setProcessEnvironment(environment);
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(QStringLiteral(ORVANE_APP_EXECUTABLE), {});
    ASSERT_TRUE(second.waitForFinished(busTimeoutMs)) << "a second program kept running";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAll().constData();
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    first.waitForFinished();
}

} // namespace
