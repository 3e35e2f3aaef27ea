// The transport under the client: what goes out again after a dropped connection (counted at
// the server), connection reuse, the exact header set, and answers from a proxy.
#include "TestSupport/ApiClientFixture.h"
#include "TestSupport/ScopedEnvironment.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSet>

using namespace std::chrono_literals;
using Answer = ScriptedHttpServer::Answer;

namespace {

const char* kPolicyAnswer = R"({"childId":"11111111-2222-3333-4444-555555555555"})";

HeartbeatRequest beat()
{
    return HeartbeatRequest::make("1.1.0", std::nullopt, "wifi");
}

// --- what goes out again when a connection drops ---

enum class Connection { fresh, reused };
enum class Fault {
    closedBeforeAnyByte,
    closedAfterFirstByte,
    closedMidBody,
};

struct ResendCase {
    const char* name;
    bool get; // GET /device/policy, or else POST /device/heartbeat
    Connection connection;
    Fault fault;
    int sends;     // requests the server receives for the call under test
    bool succeeds; // the answer after the fault is 200, if a resend asks for it
};

const ResendCase kResendCases[] = {
    {"GetFreshClosedBeforeAnyByte", true, Connection::fresh, Fault::closedBeforeAnyByte, 1, false},
    {"GetFreshClosedAfterFirstByte", true, Connection::fresh, Fault::closedAfterFirstByte, 1,
     false},
    // The one resend RFC 9110 allows: idempotent, reused connection, nothing answered yet.
    {"GetReusedClosedBeforeAnyByte", true, Connection::reused, Fault::closedBeforeAnyByte, 2, true},
    {"GetReusedClosedAfterFirstByte", true, Connection::reused, Fault::closedAfterFirstByte, 1,
     false},
    {"PostFreshClosedBeforeAnyByte", false, Connection::fresh, Fault::closedBeforeAnyByte, 1,
     false},
    {"PostFreshClosedAfterFirstByte", false, Connection::fresh, Fault::closedAfterFirstByte, 1,
     false},
    {"PostReusedClosedBeforeAnyByte", false, Connection::reused, Fault::closedBeforeAnyByte, 1,
     false},
    {"PostReusedClosedAfterFirstByte", false, Connection::reused, Fault::closedAfterFirstByte, 1,
     false},
    {"GetReusedClosedMidBody", true, Connection::reused, Fault::closedMidBody, 1, false},
    {"PostReusedClosedMidBody", false, Connection::reused, Fault::closedMidBody, 1, false},
};

Answer faultAnswer(Fault fault)
{
    switch (fault) {
    case Fault::closedBeforeAnyByte:
        return Answer::closeAtOnce();
    case Fault::closedAfterFirstByte:
        return Answer::raw("HTTP/1.1 2");
    case Fault::closedMidBody:
        return Answer::json(200, kPolicyAnswer).cutShort(500);
    }
    return Answer::closeAtOnce();
}

class ApiClientResend : public ApiClientFixture,
                        public ::testing::WithParamInterface<ResendCase> {};

TEST_P(ApiClientResend, SendsCountedAtTheServer)
{
    const ResendCase& c = GetParam();
    client->setAccessToken(QStringLiteral("tok"));
    int before = 0;
    if (c.connection == Connection::reused) {
        server.enqueue(Answer::json(200, kPolicyAnswer));
        await(client->fetchPolicy());
        before = 1;
        ASSERT_EQ(server.connectionCount(), 1);
    }
    server.enqueue(faultAnswer(c.fault));
    // Whatever comes after the fault succeeds, so that a resend would show as a success.
    server.setFallback([](const auto&) { return Answer::json(200, kPolicyAnswer); });

    std::optional<ApiError> error;
    try {
        if (c.get)
            await(client->fetchPolicy());
        else
            await(client->heartbeat(beat()));
    } catch (const ApiError& e) {
        error = e;
    }
    // Late resends would arrive after the call ended: give them the time to.
    processEventsUntil([] { return false; }, 300);

    EXPECT_EQ(server.requests().size() - before, c.sends);
    for (qsizetype i = before; i < server.requests().size(); ++i)
        EXPECT_EQ(server.requests()[i].method, c.get ? QByteArray("GET") : QByteArray("POST"));
    if (c.succeeds) {
        EXPECT_FALSE(error.has_value()) << error->what();
    } else {
        ASSERT_TRUE(error.has_value());
        ASSERT_NE(error->as<ApiError::Network>(), nullptr) << error->what();
        EXPECT_FALSE(error->as<ApiError::Network>()->underlying.isEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ApiClientResend, ::testing::ValuesIn(kResendCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ApiClientFixture, GetGoesOutAgainAtMostOnceEvenWithSeveralDeadConnections)
{
    // Two idle connections, each of which the server drops at the next request: libcurl by
    // itself would try one after the other, and then a third, new one.
    server.setFallback([](const auto&) { return Answer::json(200, kPolicyAnswer); });
    auto first = client->fetchPolicy();
    auto second = client->fetchPolicy();
    await(std::move(first));
    await(std::move(second));
    ASSERT_EQ(server.connectionCount(), 2);
    ASSERT_EQ(server.requests().size(), 2);

    server.enqueue(Answer::closeAtOnce());
    server.enqueue(Answer::closeAtOnce());
    const auto error = apiErrorOf(client->fetchPolicy());
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->as<ApiError::Network>(), nullptr) << error->what();
    processEventsUntil([] { return false; }, 300);
    EXPECT_EQ(server.requests().size(), 4) << "the first send and one resend";
}

// --- answers the transport ends early ---

TEST_F(ApiClientFixture, DeclaredOversizeEndsAtTheHeadWithoutWaitingForTheBody)
{
    // The body never comes: only a stop at the end of the head gives "too large" rather than
    // a connection cut short.
    server.enqueue(Answer::json(200, {}).cutShort(ApiClient::maxAnswerBytes + 1));
    const auto error = apiErrorOf(client->fetchPolicy());
    ASSERT_TRUE(error.has_value());
    ASSERT_NE(error->as<ApiError::Decoding>(), nullptr) << error->what();
}

TEST_F(ApiClientFixture, InterimAnswersAreSkippedButAnUnaskedSwitchIsFinal)
{
    server.enqueue(Answer::raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                               "Link: </a>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n"
                               "Connection: close\r\n\r\n{}"));
    EXPECT_NO_THROW(await(client->heartbeat(beat())));
    server.enqueue(Answer::raw("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"
                               "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
    const auto error = apiErrorOf(client->heartbeat(beat()));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->status(), 101) << error->what();
}

// --- a host name, resolved on libcurl's resolver thread ---

TEST_F(ApiClientFixture, HostNameResolvedOffTheEventLoopReachesTheServer)
{
    // "localhost" libcurl answers itself; the machine's own name goes through the resolver.
    const QString name = QHostInfo::localHostName();
    const QHostInfo info = QHostInfo::fromName(name);
    if (!info.addresses().contains(QHostAddress(QHostAddress::LocalHost)))
        GTEST_SKIP() << "this machine's name does not resolve to 127.0.0.1";
    ApiClient named(&transport, server.url(QStringLiteral("/api/v1"), name), "c", 5s, BundleInfo());
    server.setFallback([](const auto&) { return Answer::json(200, kPolicyAnswer); });
    auto first = named.fetchPolicy();
    auto second = named.fetchPolicy();
    EXPECT_NO_THROW(await(std::move(first)));
    EXPECT_NO_THROW(await(std::move(second)));
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[0].header("Host"),
              QStringLiteral("%1:%2").arg(name).arg(server.port()).toUtf8());
}

// --- connection reuse and the header set ---

TEST_F(ApiClientFixture, OneConnectionServesEveryKindOfCall)
{
    client->setAccessToken(QStringLiteral("tok"));
    server.setFallback([](const auto& r) {
        if (r.path().endsWith("/tamper"))
            return Answer::plain(204);
        return r.method == "GET" ? Answer::json(200, kPolicyAnswer) : Answer::json(200, "{}");
    });
    for (int i = 0; i < 3; ++i) {
        await(client->fetchPolicy());
        await(client->heartbeat(beat()));
        await(client->reportTamper(QStringLiteral("t"), std::nullopt));
        // A 4xx answer with a body keeps the connection too.
        server.enqueue(Answer::json(429, R"({"title":"slow down"})"));
        EXPECT_EQ(apiErrorOf(client->fetchPolicy())->status(), 429);
    }
    EXPECT_EQ(server.requests().size(), 12);
    EXPECT_EQ(server.connectionCount(), 1);
}

TEST_F(ApiClientFixture, NoHeaderBeyondTheFixedSet)
{
    client->setAccessToken(QStringLiteral("tok"));
    server.setFallback([](const auto&) { return Answer::json(200, "{}"); });
    // A body above the sizes at which HTTP clients like to ask "Expect: 100-continue".
    QMap<QString, QString> details;
    for (int i = 0; i < 2000; ++i)
        details.insert(QStringLiteral("k%1").arg(i), QString(600, u'x'));
    await(client->reportTamper(QStringLiteral("big"), details));
    await(client->heartbeat(beat()));
    server.setFallback([](const auto&) { return Answer::json(200, kPolicyAnswer); });
    await(client->fetchPolicy());
    ASSERT_EQ(server.requests().size(), 3);

    const auto namesOf = [](const ScriptedHttpServer::Request& r) {
        QSet<QByteArray> names;
        for (const auto& [name, value] : r.headers)
            names.insert(name.toLower());
        return names;
    };
    const QSet<QByteArray> withBody{"host",          "accept",       "x-orvane-client",
                                    "authorization", "content-type", "content-length"};
    EXPECT_EQ(namesOf(server.requests()[0]), withBody);
    EXPECT_GT(server.requests()[0].body.size(), 1024 * 1024);
    EXPECT_EQ(namesOf(server.requests()[1]), withBody);
    EXPECT_EQ(namesOf(server.requests()[2]),
              (QSet<QByteArray>{"host", "accept", "x-orvane-client", "authorization"}));
    for (const auto& r : server.requests())
        EXPECT_EQ(r.headers.size(), namesOf(r).size()) << "no header twice";
}

// --- a proxy from the environment ---

class ApiClientProxy : public ApiClientFixture {
protected:
    void SetUp() override
    {
        ApiClientFixture::SetUp();
        const QByteArray proxy = server.url(QStringLiteral("/")).toEncoded();
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            env.set(name, proxy);
        env.unset("no_proxy");
        env.unset("NO_PROXY");
        server.setFallback([](const auto&) {
            return Answer::plain(407, "proxy login needed")
                .header("Proxy-Authenticate", R"(Basic realm="proxy")");
        });
    }

    std::unique_ptr<ApiClient> clientThroughProxy(const QString& scheme)
    {
        auto c = std::make_unique<ApiClient>(&transport, QUrl(scheme + "://api.orvane.test/api/v1"),
                                             QStringLiteral("test-client/1.0"), 5s, BundleInfo());
        c->setAccessToken(QStringLiteral("proxy-must-not-see-this"));
        return c;
    }

    ScopedEnvironment env;
};

TEST_F(ApiClientProxy, PlainRequestAnswered407IsHttp407)
{
    auto proxied = clientThroughProxy(QStringLiteral("http"));
    const auto error = apiErrorOf(proxied->fetchPolicy());
    ASSERT_TRUE(error.has_value());
    ASSERT_NE(error->as<ApiError::Http>(), nullptr) << error->what();
    EXPECT_EQ(error->status(), 407);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target,
              QByteArray("http://api.orvane.test/api/v1/device/policy"));
}

TEST_F(ApiClientProxy, TunnelRefused407IsHttp407AndTheTokenStaysHome)
{
    auto proxied = clientThroughProxy(QStringLiteral("https"));
    const auto error = apiErrorOf(proxied->heartbeat(beat()));
    ASSERT_TRUE(error.has_value());
    ASSERT_NE(error->as<ApiError::Http>(), nullptr) << error->what();
    EXPECT_EQ(error->status(), 407);
    EXPECT_EQ(error->as<ApiError::Http>()->body, std::nullopt);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].method, QByteArray("CONNECT"));
    EXPECT_EQ(server.requests()[0].target, QByteArray("api.orvane.test:443"));
    EXPECT_FALSE(server.requests()[0].hasHeader("Authorization"));
}

} // namespace
