#pragma once

#include "Models/ApiError.h"
#include "Platform/DeviceFacts.h"
#include "Services/ApiClient.h"
#include "Services/HttpTransport.h"
#include "Services/AuthStore.h"
#include "Services/DeviceStatusStore.h"
#include "Services/KeychainStore.h"
#include "Support/Clock.h"
#include "TestSupport/Await.h"
#include "TestSupport/FixedDeviceFacts.h"
#include "TestSupport/InMemorySecretStore.h"
#include "TestSupport/ScriptedHttpServer.h"

#include <QDateTime>
#include <QTimeZone>
#include <QUuid>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

/**
 * The stores the panel shows, over a keychain in memory and a scripted service on 127.0.0.1,
 * with a clock that stands still.
 */
class PanelFixture : public ::testing::Test {
public:
    static inline const QUuid deviceId{"6B0C2B6E-8F55-4E0F-A0F0-3C1D2E3F4A5B"};
    static inline const QUuid childId{"0E1A2B3C-4D5E-4F60-8172-8394A5B6C7D8"};
    static inline const QUuid tenantId{"11111111-2222-4333-8444-555555555555"};

protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen());
        api = std::make_unique<ApiClient>(&transport, server.url("/api/v1"),
                                          QStringLiteral("macos-child/1.1.0"),
                                          std::chrono::seconds(30));
    }

    /** A session in the keychain, as a pairing in an earlier run left it. */
    void storeSession()
    {
        keychain.saveDeviceToken(QStringLiteral("device-token"));
        keychain.saveDeviceId(deviceId);
        keychain.saveChildId(childId);
    }

    /** Builds the session store; unless told otherwise, waits until its restore is done. */
    void startAuth(bool waitForRestore = true)
    {
        auth = std::make_unique<AuthStore>(*api, keychain, facts);
        if (waitForRestore) {
            ASSERT_TRUE(processEventsUntil([this] { return !auth->isBootstrapping().get(); }));
        }
    }

    /** An enrollment answer of the service. */
    static ScriptedHttpServer::Answer enrollAnswer()
    {
        return ScriptedHttpServer::Answer::json(
            200, QStringLiteral(R"({"deviceToken":"new-token","deviceId":"%1","childId":"%2",)"
                                R"("tenantId":"%3"})")
                     .arg(deviceId.toString(QUuid::WithoutBraces),
                          childId.toString(QUuid::WithoutBraces),
                          tenantId.toString(QUuid::WithoutBraces))
                     .toUtf8());
    }

    template <typename W = QWidget> static W* child(const QWidget& parent, const QString& name)
    {
        auto* widget = parent.findChild<W*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }

    ManualClock clock{QDateTime(QDate(2025, 3, 14), QTime(14, 0), QTimeZone::utc())};
    InMemorySecretStore secrets;
    KeychainStore keychain{QStringLiteral("ai.orvane.mac.refresh"), secrets};
    FixedDeviceFacts facts{QStringLiteral("HW-UUID"), QStringLiteral("Kid's Laptop"), {13, 4, 1}};
    HttpTransport transport;
    ScriptedHttpServer server;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<AuthStore> auth;
    DeviceStatusStore status{clock};
};
