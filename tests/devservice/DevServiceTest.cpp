#include "Models/ActivityBatchResponse.h"
#include "Models/ApiErrorBody.h"
#include "Models/EnrollResponse.h"
#include "Models/Policy.h"
#include "Support/Json.h"

#include "TestSupport/Await.h"
#include "TestSupport/DevServiceProcess.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct HttpResult {
    int status = 0;
    QByteArray body;
};

QByteArray enrollBody(const QString& code)
{
    return Json::write({{"pairingCode", code.toStdString()},
                        {"deviceFingerprint", "F1NGERPR1NT"},
                        {"model", "Test machine"},
                        {"osVersion", "6.1.0"},
                        {"appVersion", "1.1.0"},
                        {"platform", "MACOS"}});
}

const QByteArray heartbeatBody = R"({"appVersion":"1.1.0","networkType":"wifi"})";

class DevServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_folder.isValid());
        m_policyPath = m_folder.filePath(QStringLiteral("policy.json"));
        writePolicy(R"({"filterLevel":"STRICT","safeSearch":false})");
        m_service = std::make_unique<DevServiceProcess>(
            QStringLiteral(ORVANE_DEVSERVICE),
            QStringList{QStringLiteral("--policy"), m_policyPath});
        ASSERT_TRUE(m_service->start()) << m_service->output().toStdString();
        m_network.setProxy(QNetworkProxy::NoProxy);
    }

    /** Replaced the way editors save: a new file renamed over the old one. */
    void writePolicy(const QByteArray& content)
    {
        QSaveFile file(m_policyPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        ASSERT_TRUE(file.commit());
    }

    HttpResult send(const QByteArray& method, const QUrl& url, const QByteArray& body = {},
                    const QByteArray& authorization = {})
    {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        if (!body.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        if (!authorization.isEmpty())
            request.setRawHeader("Authorization", authorization);
        std::unique_ptr<QNetworkReply> reply(m_network.sendCustomRequest(request, method, body));
        if (!processEventsUntil([&] { return reply->isFinished(); }, 30000))
            return {};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->readAll()};
    }

    HttpResult call(const QByteArray& method, const char* path, const QByteArray& body,
                    const QString& token)
    {
        return send(method, QUrl(m_service->baseUrl().toString() + QLatin1String(path)), body,
                    token.isNull() ? QByteArray() : "Bearer " + token.toUtf8());
    }

    HttpResult admin(const QByteArray& method, const QString& path)
    {
        return send(method, m_service->url(path));
    }

    EnrollResponse enroll()
    {
        const HttpResult result =
            call("POST", "/device/enroll", enrollBody(m_service->pairingCode()), {});
        EXPECT_EQ(result.status, 200) << result.body.toStdString();
        return Json::decode<EnrollResponse>(result.body);
    }

    Json::Value state() { return Json::parse(admin("GET", QStringLiteral("/admin/state")).body); }

    static QString title(const HttpResult& result)
    {
        return Json::decode<ApiErrorBody>(result.body).title.value_or(QString());
    }

    QTemporaryDir m_folder;
    QString m_policyPath;
    std::unique_ptr<DevServiceProcess> m_service;
    QNetworkAccessManager m_network;
};

TEST_F(DevServiceTest, pairsOnlyWithTheCurrentCode)
{
    const QString code = m_service->pairingCode();
    ASSERT_EQ(code.size(), 6);
    QString wrong = code;
    wrong[5] = code[5] == u'9' ? u'0' : QChar(code[5].unicode() + 1);

    struct Case {
        const char* what;
        QByteArray body;
        const char* title;
    };
    const std::vector<Case> cases = {
        {"a wrong code", enrollBody(wrong), "That pairing code is not valid"},
        {"a body that is not JSON", R"({"pairingCode":)", "The request body is not valid JSON"},
        {"a body without the device's facts", Json::write({{"pairingCode", code.toStdString()}}),
         "The request body is not a valid EnrollRequest"},
    };
    for (const auto& c : cases) {
        const HttpResult result = call("POST", "/device/enroll", c.body, {});
        EXPECT_EQ(result.status, 400) << c.what;
        EXPECT_EQ(title(result), QString::fromLatin1(c.title)) << c.what;
    }

    const EnrollResponse paired = enroll();
    EXPECT_FALSE(paired.deviceToken.isEmpty());
    const Json::Value now = state();
    EXPECT_EQ(Json::Codec<QUuid>::read(now["childId"], "childId"), paired.childId);
    EXPECT_EQ(Json::Codec<QUuid>::read(now["tenantId"], "tenantId"), paired.tenantId);
    ASSERT_EQ(now["devices"].size(), 1u);
    EXPECT_EQ(Json::Codec<QUuid>::read(now["devices"][0]["deviceId"], "deviceId"), paired.deviceId);

    const HttpResult minted = admin("POST", QStringLiteral("/admin/pairing-code"));
    ASSERT_EQ(minted.status, 200);
    const QString newCode = QString::fromStdString(Json::parse(minted.body)["pairingCode"]);
    ASSERT_TRUE(processEventsUntil([&] { return m_service->pairingCode() == newCode; }))
        << "the new code is printed";
    EXPECT_EQ(call("POST", "/device/enroll", enrollBody(code), {}).status, 400);
    EXPECT_EQ(call("POST", "/device/enroll", enrollBody(newCode), {}).status, 200);
}

TEST_F(DevServiceTest, deviceCallsNeedAValidToken)
{
    const EnrollResponse paired = enroll();
    struct Case {
        QByteArray method;
        const char* path;
        QByteArray body;
        int status;
    };
    const std::vector<Case> calls = {
        {"POST", "/device/heartbeat", heartbeatBody, 200},
        {"GET", "/device/policy", {}, 200},
        {"POST", "/device/events/batch", R"({"events":[]})", 200},
        {"POST", "/device/app-usage", R"({"date":"2025-03-01","items":[]})", 200},
        {"POST", "/device/tamper", R"({"eventType":"test"})", 204},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(call(c.method, c.path, c.body, {}).status, 401) << c.path << " without a token";
        EXPECT_EQ(call(c.method, c.path, c.body, QStringLiteral("not-a-token")).status, 401)
            << c.path << " with another token";
        EXPECT_EQ(call(c.method, c.path, c.body, paired.deviceToken).status, c.status) << c.path;
    }
    EXPECT_EQ(call("POST", "/device/heartbeat", "{", paired.deviceToken).status, 400);
    EXPECT_EQ(call("POST", "/device/heartbeat", "{}", paired.deviceToken).status, 400)
        << "a heartbeat without its keys";

    const QString id = paired.deviceId.toString(QUuid::WithoutBraces);
    ASSERT_EQ(admin("POST", QStringLiteral("/admin/devices/%1/revoke").arg(id)).status, 200);
    for (const auto& c : calls) {
        const HttpResult result = call(c.method, c.path, c.body, paired.deviceToken);
        EXPECT_EQ(result.status, 401) << c.path << " after revoking";
        EXPECT_EQ(Json::decode<ApiErrorBody>(result.body).status, 401) << c.path;
    }
    EXPECT_EQ(admin("POST", QStringLiteral("/admin/devices/%1/revoke")
                                .arg(QUuid::createUuid().toString(QUuid::WithoutBraces)))
                  .status,
              404);
}

TEST_F(DevServiceTest, renewedTokenComesWithTheNextBatchAndReplacesTheOldOne)
{
    const EnrollResponse paired = enroll();
    const QByteArray batch = Json::write({{"events",
                                           {{{"type", "test"},
                                             {"occurredAt", "2025-03-01T08:15:00Z"},
                                             {"childId", Json::Codec<QUuid>::write(paired.childId)},
                                             {"payload", Json::Value::object()}}}}});
    const auto sendBatch = [&](const QString& token) {
        const HttpResult result = call("POST", "/device/events/batch", batch, token);
        EXPECT_EQ(result.status, 200) << result.body.toStdString();
        return Json::decode<ActivityBatchResponse>(result.body);
    };

    const ActivityBatchResponse plain = sendBatch(paired.deviceToken);
    EXPECT_EQ(plain.accepted, 1);
    EXPECT_EQ(plain.total, 1);
    EXPECT_FALSE(plain.deviceToken.has_value());

    const QString id = paired.deviceId.toString(QUuid::WithoutBraces);
    ASSERT_EQ(admin("POST", QStringLiteral("/admin/devices/%1/renew-token").arg(id)).status, 200);
    EXPECT_EQ(call("POST", "/device/heartbeat", heartbeatBody, paired.deviceToken).status, 200)
        << "the old token holds until the new one has been handed out";

    const ActivityBatchResponse renewed = sendBatch(paired.deviceToken);
    ASSERT_TRUE(renewed.deviceToken.has_value());
    const QString newToken = *renewed.deviceToken;
    EXPECT_FALSE(newToken.isEmpty());
    EXPECT_NE(newToken, paired.deviceToken);

    EXPECT_FALSE(sendBatch(newToken).deviceToken.has_value()) << "handed out once";
    EXPECT_EQ(call("POST", "/device/heartbeat", heartbeatBody, paired.deviceToken).status, 401);
    EXPECT_EQ(call("POST", "/device/heartbeat", heartbeatBody, newToken).status, 200);
}

TEST_F(DevServiceTest, policyFollowsTheFile)
{
    const EnrollResponse paired = enroll();
    const auto fetch = [&] {
        const HttpResult result = call("GET", "/device/policy", {}, paired.deviceToken);
        EXPECT_EQ(result.status, 200);
        return Json::decode<Policy>(result.body);
    };
    const auto reloads = [&] {
        return m_service->lines().filter(QStringLiteral("Policy file reloaded")).size();
    };

    const Policy first = fetch();
    EXPECT_EQ(first.childId, paired.childId) << "filled in, since the file has none";
    EXPECT_EQ(first.filterLevel, u"STRICT");
    EXPECT_FALSE(first.safeSearch);

    const QUuid ownChild = QUuid::createUuid();
    writePolicy(Json::write(
        {{"childId", Json::Codec<QUuid>::write(ownChild)}, {"filterLevel", "RELAXED"}}));
    ASSERT_TRUE(processEventsUntil([&] { return reloads() == 1; }, 30000));
    const Policy second = fetch();
    EXPECT_EQ(second.filterLevel, u"RELAXED");
    EXPECT_EQ(second.childId, ownChild) << "the file's own childId is kept";

    // The first replacement ended the watch on the old file; this one must still be seen.
    writePolicy(R"({"filterLevel":"MODERATE","pausedNow":true})");
    ASSERT_TRUE(processEventsUntil([&] { return reloads() == 2; }, 30000));
    EXPECT_TRUE(fetch().pausedNow);
}

TEST_F(DevServiceTest, logsEachCallOnOneLineOverOneKeptAliveConnection)
{
    const EnrollResponse paired = enroll();
    const QString id = paired.deviceId.toString(QUuid::WithoutBraces).toUpper();
    call("POST", "/device/heartbeat", heartbeatBody, paired.deviceToken);
    call("GET", "/device/policy", {}, paired.deviceToken);
    call("POST", "/device/heartbeat", heartbeatBody, QStringLiteral("not-a-token"));
    const Json::Value now = state();

    const QStringList expected = {
        QStringLiteral("POST /api/v1/device/enroll 200 ") + id,
        QStringLiteral("POST /api/v1/device/heartbeat 200 ") + id,
        QStringLiteral("GET /api/v1/device/policy 200 ") + id,
        QStringLiteral("POST /api/v1/device/heartbeat 401 -"),
        QStringLiteral("GET /admin/state 200 -"),
    };
    ASSERT_TRUE(processEventsUntil([&] { return m_service->callLines().size() >= 5; }, 30000))
        << m_service->output().toStdString();
    EXPECT_EQ(m_service->callLines(), expected);
    EXPECT_FALSE(m_service->output().contains(paired.deviceToken));

    EXPECT_EQ(now["connectionsAccepted"], 1) << "sequential calls share one connection";
    EXPECT_EQ(now["calls"]["heartbeat"], 2);
    EXPECT_EQ(now["calls"]["policy"], 1);
    EXPECT_EQ(now["devices"][0]["latestHeartbeat"]["networkType"], "wifi");
}

TEST(DevServiceIdleConnections, areClosedAfterTheIdleTimeout)
{
    DevServiceProcess service(QStringLiteral(ORVANE_DEVSERVICE),
                              {QStringLiteral("--idle-timeout"), QStringLiteral("1")});
    ASSERT_TRUE(service.start()) << service.output().toStdString();

    QTcpSocket socket;
    socket.connectToHost(service.baseUrl().host(), static_cast<quint16>(service.baseUrl().port()));
    ASSERT_TRUE(socket.waitForConnected(30000));
    QByteArray answer;
    for (int i = 0; i < 2; ++i) { // two calls on one connection: it is kept alive
        socket.write("GET /admin/state HTTP/1.1\r\nHost: localhost\r\n\r\n");
        ASSERT_TRUE(processEventsUntil(
            [&] {
                answer += socket.readAll();
                return answer.count("HTTP/1.1 200") == i + 1 && answer.endsWith('}');
            },
            30000));
    }
    EXPECT_TRUE(processEventsUntil(
        [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 60000))
        << "the service closes the idle connection";
}

} // namespace
