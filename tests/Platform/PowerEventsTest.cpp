#include "Platform/PowerEvents.h"
#include "Platform/Linux/LogindPowerEvents.h"
#include "Platform/Log.h"

#include "TestSupport/Await.h"
#include "TestSupport/FakeLogind.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>

namespace {

const QString& logindService = FakeLogind::service;
const QString& logindPath = FakeLogind::path;
const QString& logindInterface = FakeLogind::interface;

/** A dbus-daemon of the test's own, on a socket in a temporary folder. */
class PrivateBus {
public:
    PrivateBus()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            !m_folder.isValid())
            return;
        QFile config(m_folder.filePath(QStringLiteral("bus.conf")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral(R"(<busconfig>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                         .arg(m_folder.path())
                         .toUtf8());
        config.close();
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--nofork"), QStringLiteral("--print-address"),
                        QStringLiteral("--config-file=") + config.fileName()});
        while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(30000)) {
        }
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }

    ~PrivateBus()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(30000);
    }

    /** Empty when no daemon could be started. */
    [[nodiscard]] const QString& address() const { return m_address; }

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
};

class PowerEventsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus = new PrivateBus;
        if (!bus->address().isEmpty())
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().toUtf8());
    }

    static void TearDownTestSuite()
    {
        delete bus;
        bus = nullptr;
    }

    void SetUp() override
    {
        if (bus->address().isEmpty())
            GTEST_SKIP() << "no dbus-daemon to run a private bus with";
    }

    static PrivateBus* bus;
};

PrivateBus* PowerEventsTest::bus = nullptr;

TEST_F(PowerEventsTest, followsLogindAndHoldsTheSleepUntilWillSleepIsHandled)
{
    FakeLogind logind(bus->address());
    ASSERT_TRUE(logind.isRegistered());

    PowerEvents& events = PowerEvents::system();
    QSignalSpy wakes(&events, &PowerEvents::didWake);
    int sleeps = 0;
    bool lockHeldDuringWillSleep = false;
    const QObject scope; // ends the connection with the test
    QObject::connect(&events, &PowerEvents::willSleep, &scope, [&] {
        ++sleeps;
        lockHeldDuringWillSleep = !logind.lastLockReleased();
    });

    ASSERT_TRUE(processEventsUntil([&] { return logind.locksHandedOut() == 1; }, 30000));
    EXPECT_EQ(logind.lastInhibitArguments().value(0), u"sleep");
    EXPECT_EQ(logind.lastInhibitArguments().value(3), u"delay");

    logind.sendPrepareForSleep(true);
    ASSERT_TRUE(processEventsUntil([&] { return sleeps == 1; }, 30000));
    EXPECT_TRUE(lockHeldDuringWillSleep);
    EXPECT_TRUE(processEventsUntil([&] { return logind.lastLockReleased(); }, 30000))
        << "the delay lock is given back once willSleep has been handled";
    EXPECT_EQ(wakes.count(), 0);

    logind.sendPrepareForSleep(false);
    ASSERT_TRUE(processEventsUntil([&] { return wakes.count() == 1; }, 30000));
    EXPECT_EQ(sleeps, 1);
    EXPECT_TRUE(processEventsUntil([&] { return logind.locksHandedOut() == 2; }, 30000))
        << "a new delay lock is taken after waking";
}

TEST_F(PowerEventsTest, ignoresPrepareForSleepFromAnyoneButLogind)
{
    FakeLogind logind(bus->address());
    ASSERT_TRUE(logind.isRegistered());
    LogindPowerEvents events(
        QDBusConnection::connectToBus(bus->address(), QStringLiteral("agent")));
    QSignalSpy sleeps(&events, &PowerEvents::willSleep);
    QSignalSpy wakes(&events, &PowerEvents::didWake);
    ASSERT_TRUE(processEventsUntil([&] { return logind.locksHandedOut() == 1; }, 30000));

    QDBusConnection impostor =
        QDBusConnection::connectToBus(bus->address(), QStringLiteral("impostor"));
    QDBusMessage spoofed =
        QDBusMessage::createSignal(logindPath, logindInterface, QStringLiteral("PrepareForSleep"));
    spoofed << true;
    ASSERT_TRUE(impostor.send(spoofed));
    // A round trip on the same connection: the bus has routed the signal once it answers, so
    // logind's signal below reaches the agent after the impostor's.
    ASSERT_TRUE(impostor.interface()->isServiceRegistered(logindService).value());

    logind.sendPrepareForSleep(false);
    ASSERT_TRUE(processEventsUntil([&] { return wakes.count() == 1; }, 30000));
    EXPECT_EQ(sleeps.count(), 0);
    QDBusConnection::disconnectFromBus(QStringLiteral("impostor"));
}

TEST(PowerEventsWithoutBus, logOneLineAndNeverFire)
{
    const Log::Capture capture;
    const QDBusConnection noBus = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/orvane-test-bus"), QStringLiteral("no-bus"));
    ASSERT_FALSE(noBus.isConnected());

    LogindPowerEvents events(noBus);
    QSignalSpy sleeps(&events, &PowerEvents::willSleep);
    QSignalSpy wakes(&events, &PowerEvents::didWake);
    QCoreApplication::processEvents();

    ASSERT_EQ(capture.messages().size(), 1);
    EXPECT_TRUE(capture.messages().front().contains(u"no system bus"))
        << capture.messages().front().toStdString();
    EXPECT_EQ(sleeps.count() + wakes.count(), 0);
}

} // namespace

