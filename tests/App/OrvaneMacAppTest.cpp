#include "App/OrvaneMacApp.h"
#include "App/TrayItem.h"
#include "App/Views/MenuBarView.h"
#include "App/Views/Onboarding/PairDeviceView.h"
#include "App/Views/RootView.h"
#include "App/Views/Status/StatusView.h"
#include "Platform/Linux/XdgAutostartLoginItem.h"
#include "Platform/Log.h"
#include "Services/ApiClient.h"
#include "Services/HttpTransport.h"
#include "Services/AuthStore.h"
#include "Services/DeviceStatusStore.h"
#include "Services/KeychainStore.h"
#include "TestSupport/Await.h"
#include "TestSupport/ScriptedHttpServer.h"
#include "TestSupport/StatusNotifierWatcherPeer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QUuid>

#include <gtest/gtest.h>

namespace {

using Answer = ScriptedHttpServer::Answer;
using Status = DeviceStatusStore::Status;

const QUuid deviceId{"6B0C2B6E-8F55-4E0F-A0F0-3C1D2E3F4A5B"};
const QUuid childId{"0E1A2B3C-4D5E-4F60-8172-8394A5B6C7D8"};

QString text(QUuid id)
{
    return id.toString(QUuid::WithoutBraces);
}

/** A login item that answers a fixed status and records registrations. */
struct FixedLoginItem final : LoginItemService {
    FixedLoginItem(int answer, std::optional<QString> registerError, int* registrations)
        : answer(answer), registerError(std::move(registerError)), registrations(registrations)
    {
    }

    int answer;
    std::optional<QString> registerError;
    int* registrations;

    int status() const override { return answer; }
    std::optional<QString> registerItem() override
    {
        ++*registrations;
        return registerError;
    }
};

/**
 * The whole program against a scripted service on 127.0.0.1 and a private keyring: the real
 * session store, status store and scheduler, and a login item in a temporary folder.
 */
class OrvaneMacAppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        ASSERT_TRUE(folder.isValid());
        api = std::make_unique<ApiClient>(&transport, server.url("/api/v1"),
                                          QStringLiteral("macos-child/1.1.0"),
                                          std::chrono::seconds(30));
        keychain.clear();
        server.setFallback(
            [this](const ScriptedHttpServer::Request& request) { return answer(request); });
    }

    void TearDown() override
    {
        app.reset();
        keychain.clear();
    }

    Answer answer(const ScriptedHttpServer::Request& request)
    {
        const QByteArray path = request.path();
        if (path.endsWith("/device/enroll"))
            return Answer::json(200,
                                QStringLiteral(R"({"deviceToken":"new-token","deviceId":"%1",)"
                                               R"("childId":"%2","tenantId":"%3"})")
                                    .arg(text(deviceId), text(childId), text(QUuid::createUuid()))
                                    .toUtf8());
        if (path.endsWith("/device/heartbeat"))
            return Answer::json(200, "{}");
        if (path.endsWith("/device/policy"))
            return Answer::json(200, policyBody);
        return Answer::json(200, R"({"accepted":0})");
    }

    void storeSession()
    {
        keychain.saveDeviceToken(QStringLiteral("stored-token"));
        keychain.saveDeviceId(deviceId);
        keychain.saveChildId(childId);
    }

    OrvaneMacApp::Parts parts(HeartbeatScheduler::Config config = {60, 30, 120})
    {
        OrvaneMacApp::Parts p = OrvaneMacApp::Parts::shared();
        return {*api,
                keychain,
                p.activity,
                p.power,
                p.makePathMonitor,
                [this] {
                    return std::make_unique<FixedLoginItem>(LoginItemService::enabled, std::nullopt,
                                                            &registrations);
                },
                p.clock,
                config,
                false};
    }

    void start(HeartbeatScheduler::Config config = {60, 30, 120})
    {
        app = std::make_unique<OrvaneMacApp>(parts(config));
        ASSERT_TRUE(processEventsUntil([this] { return !app->auth().isBootstrapping().get(); }));
    }

    QWidget* content() const { return app->panel().rootView()->content(); }
    QString statusLabel() const
    {
        auto* view = qobject_cast<StatusView*>(content());
        return view ? view->findChild<QLabel*>("statusLabel")->text() : QString();
    }

    QTemporaryDir folder;
    ScriptedHttpServer server;
    HttpTransport transport;
    std::unique_ptr<ApiClient> api;
    KeychainStore keychain{QStringLiteral("ai.orvane.mac.refresh.test")};
    QByteArray policyBody;
    int registrations = 0;
    std::unique_ptr<OrvaneMacApp> app;
};

} // namespace

TEST_F(OrvaneMacAppTest, StoredSessionStartsTheSchedulerOfflineUntilTheFirstHeartbeat)
{
    storeSession();
    start();
    ASSERT_TRUE(app->auth().enrolled().get());
    EXPECT_TRUE(app->scheduler().isRunning().get());
    // Without a tray the panel is a window, open from the start.
    EXPECT_TRUE(app->panel().isVisible());
    EXPECT_EQ(app->status().status().get(), Status(Status::Offline{}));
    EXPECT_EQ(statusLabel(), "Offline");
    EXPECT_EQ(content()->findChild<QLabel*>("lastCheckLine")->text(),
              "Waiting for first check-in…");

    app->scheduler().kick();
    ASSERT_TRUE(processEventsUntil([this] { return statusLabel() == "Protected"; }));
    EXPECT_EQ(app->status().lastCheck().get(), app->scheduler().lastHeartbeatAt().get());
    const auto heartbeat = server.requests().last();
    EXPECT_EQ(heartbeat.header("Authorization"), "Bearer stored-token");
}

TEST_F(OrvaneMacAppTest, StartWithoutSessionStaysUnpaired)
{
    start();
    EXPECT_FALSE(app->scheduler().isRunning().get());
    EXPECT_EQ(app->status().status().get(), Status(Status::NotEnrolled{}));
    EXPECT_NE(qobject_cast<PairDeviceView*>(content()), nullptr);
}

TEST_F(OrvaneMacAppTest, PairingStartsTheSchedulerAndUnpairingStopsIt)
{
    start();
    auto* pairing = qobject_cast<PairDeviceView*>(content());
    ASSERT_NE(pairing, nullptr);
    for (int i = 0; i < 6; ++i)
        QTest::keyClicks(pairing->findChild<QLineEdit*>(QStringLiteral("digitField%1").arg(i)),
                         QString::number(i));
    QTest::mouseClick(pairing->findChild<QWidget*>("pairButton"), Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([this] { return app->auth().enrolled().get(); }));
    EXPECT_TRUE(app->scheduler().isRunning().get());
    ASSERT_TRUE(processEventsUntil([this] { return statusLabel() == "Offline"; }));
    EXPECT_EQ(keychain.readDeviceToken(), "new-token");

    auto* unpair = content()->findChild<QWidget*>("unpairButton");
    QTest::mouseClick(unpair, Qt::LeftButton);
    ASSERT_TRUE(processEventsUntil([this] { return !app->auth().enrolled().get(); }));
    EXPECT_FALSE(app->scheduler().isRunning().get());
    EXPECT_EQ(app->status().status().get(), Status(Status::NotEnrolled{}));
    ASSERT_TRUE(
        processEventsUntil([this] { return qobject_cast<PairDeviceView*>(content()) != nullptr; }));
    EXPECT_FALSE(keychain.readDeviceToken().has_value());
}

TEST_F(OrvaneMacAppTest, PausedPolicyShowsPausedAtThePolicyEvent)
{
    policyBody = QStringLiteral(R"({"childId":"%1","pausedNow":true,)"
                                R"("pausedUntil":"2025-03-14T17:30:00Z"})")
                     .arg(text(childId))
                     .toUtf8();
    storeSession();
    start({60, 1, 120});
    std::optional<Status> atEvent;
    const Subscription watch = app->scheduler().policyPublisher().subscribe(
        [&](const Policy&) { atEvent = app->status().status().get(); });
    ASSERT_TRUE(processEventsUntil([&] { return atEvent.has_value(); }, 10000));
    const auto* paused = atEvent->as<Status::Paused>();
    ASSERT_NE(paused, nullptr);
    EXPECT_EQ(paused->until, QDateTime(QDate(2025, 3, 14), QTime(17, 30), QTimeZone::utc()));
    EXPECT_EQ(statusLabel(), "Paused");
    EXPECT_TRUE(content()->findChild<QLabel*>("resumesLine")->isVisible());
}

TEST_F(OrvaneMacAppTest, RegistersTheHelperAsAnAutostartEntry)
{
    const QString helper = folder.filePath("bundle/LoginItems/OrvaneMacHelper/OrvaneMacHelper");
    QDir().mkpath(QFileInfo(helper).absolutePath());
    QFile info(QFileInfo(helper).absolutePath() + "/Info.json");
    ASSERT_TRUE(info.open(QIODevice::WriteOnly));
    info.write(R"({"CFBundleIdentifier":"ai.orvane.mac.helper"})");
    info.close();
    QFile executable(helper);
    ASSERT_TRUE(executable.open(QIODevice::WriteOnly));
    executable.write("#!/bin/sh\n");
    executable.close();
    executable.setPermissions(QFile::ReadOwner | QFile::ExeOwner);

    OrvaneMacApp::Parts p = parts();
    p.makeLoginItem = [this] {
        return std::make_unique<XdgAutostartLoginItem>(OrvaneMacApp::helperIdentifier,
                                                       folder.filePath("autostart"),
                                                       folder.filePath("bundle"));
    };
    Log::Capture log;
    app = std::make_unique<OrvaneMacApp>(std::move(p));
    EXPECT_TRUE(log.messages().isEmpty()) << log.messages().join('\n').toStdString();
    XdgAutostartLoginItem item(OrvaneMacApp::helperIdentifier, folder.filePath("autostart"),
                               folder.filePath("bundle"));
    EXPECT_EQ(item.status(), LoginItemService::enabled);
}

TEST_F(OrvaneMacAppTest, HelperRegistrationFollowsTheStatus)
{
    const struct {
        const char* name;
        int status;
        std::optional<QString> registerError;
        int registrations;
        QStringList log;
    } cases[] = {
        {"not registered", LoginItemService::notRegistered, std::nullopt, 1, {}},
        {"enabled", LoginItemService::enabled, std::nullopt, 0, {}},
        {"requires approval",
         LoginItemService::requiresApproval,
         std::nullopt,
         0,
         {"[Orvane] Helper requires user approval"}},
        {"not found",
         LoginItemService::notFound,
         QStringLiteral("no helper in the bundle"),
         1,
         {"[Orvane] Could not register helper: no helper in the bundle"}},
        {"unknown", 7, std::nullopt, 0, {"[Orvane] Unknown helper status"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int registrations = 0;
        OrvaneMacApp::Parts p = parts();
        p.makeLoginItem = [&] {
            return std::make_unique<FixedLoginItem>(c.status, c.registerError, &registrations);
        };
        Log::Capture log;
        app = std::make_unique<OrvaneMacApp>(std::move(p));
        EXPECT_EQ(registrations, c.registrations);
        EXPECT_EQ(log.messages(), c.log);
        app.reset();
    }
}

TEST_F(OrvaneMacAppTest, TrayClickOpensAndClosesThePanel)
{
    storeSession();
    StatusNotifierWatcherPeer tray; // a tray that shows the item
    ASSERT_TRUE(tray.start());
    OrvaneMacApp::Parts p = parts();
    p.offerTrayItem = true;
    app = std::make_unique<OrvaneMacApp>(std::move(p));
    ASSERT_TRUE(processEventsUntil([this] { return app->scheduler().isRunning().get(); }));
    EXPECT_FALSE(app->panel().isVisible());

    // Stopped without an unpairing (as on sleep): opening the panel starts it again.
    app->scheduler().stop();
    app->togglePanel();
    EXPECT_TRUE(app->panel().isVisible());
    EXPECT_EQ(app->panel().size(), QSize(320, 420));
    EXPECT_TRUE(app->scheduler().isRunning().get());

    app->togglePanel();
    EXPECT_FALSE(app->panel().isVisible());
}

TEST_F(OrvaneMacAppTest, WithoutATrayThePanelIsAWindowAndALaterTrayTakesOver)
{
    OrvaneMacApp::Parts p = parts();
    p.offerTrayItem = true;
    app = std::make_unique<OrvaneMacApp>(std::move(p));
    // No tray on this bus: the panel is a window at start, and closing it ends the program.
    EXPECT_TRUE(app->panel().isVisible());
    EXPECT_TRUE(app->panel().windowFlags().testFlag(Qt::Window));
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());

    // A tray appears: its item can bring the panel back, so closing no longer ends the program.
    StatusNotifierWatcherPeer tray;
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(processEventsUntil([this] { return app->trayItem()->isHosted(); }));
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    app->panel().close();
    EXPECT_FALSE(app->panel().isVisible());

    // Starting the program again (the launcher) shows the panel as a window.
    app->showPanel();
    EXPECT_TRUE(app->panel().isVisible());
    EXPECT_FALSE(app->panel().windowFlags().testFlag(Qt::Popup));
    app->panel().hide();
}
