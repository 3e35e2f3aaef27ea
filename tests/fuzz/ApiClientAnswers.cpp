// The client's whole answer path without a socket: a transport hands the real ApiClient what the
// input says came back, for each call of the service. Input: one byte choosing the call (low 3
// bits), what the transport did (bits 3-4: answered, answered, failed, not HTTP) and whether the
// body was over the limit (bit 7); two bytes of status; then the rest, which is the body (or the
// transport's error text), optionally preceded by a device token and 0x1e. Checks: one request
// per call, an outcome the answer rules define, no token in any error text, and a renewed token
// taken exactly when an accepted activity batch carries one.
#include "FuzzSupport.h"

#include "Services/ApiClient.h"
#include "Services/HttpTransport.h"

#include <cctype>
#include <utility>

namespace {

class ScriptedTransport final : public HttpTransport {
public:
    QCoro::Task<Response> send(Request request) override
    {
        ++requests;
        sentAuthorization = false;
        for (const auto& [name, value] : request.headers)
            sentAuthorization = sentAuthorization || name == "Authorization";
        co_return next;
    }

    Response next;
    int requests = 0;
    bool sentAuthorization = false;
};

class TokenReceiver final : public RenewedTokenReceiver {
public:
    void applyRenewedToken(const QString& token) override { received = token; }
    std::optional<QString> received;
};

struct Outcome {
    bool finished = false;
    bool value = false;
    std::optional<ApiError> error;
};

// Every call is named before it is awaited (g++ 12 and temporaries beside co_await).
template <typename T>
QCoro::Task<void> await(QCoro::Task<T> call, Outcome& outcome)
{
    try {
        co_await std::move(call);
        outcome.value = true;
    } catch (const ApiError& error) {
        outcome.error = error;
    } catch (...) {
        Fuzz::fail("a call failed with something other than an ApiError");
    }
    outcome.finished = true;
}

// A device token as the service issues them: 16 or more characters of base64url or token68.
bool plausibleToken(const QByteArray& text)
{
    if (text.size() < 16 || text.size() > 4096)
        return false;
    for (const char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !QByteArrayView("-._~+/=").contains(c))
            return false;
    return true;
}

void checkNoToken(const ApiError& error, const QString& token)
{
    const auto clean = [&token](const std::optional<QString>& text) {
        Fuzz::check(!text || !text->contains(token), "a token in an error's text");
    };
    clean(QString::fromStdString(error.what()));
    clean(error.userFacingMessage());
    clean(error.traceId());
    if (const auto* e = error.as<ApiError::Network>())
        clean(e->underlying);
    if (const auto* e = error.as<ApiError::Decoding>())
        clean(e->underlying);
    if (const auto* e = error.as<ApiError::Unexpected>())
        clean(e->text);
    if (const auto* e = error.as<ApiError::Http>(); e && e->body) {
        for (const auto* text : {&e->body->type, &e->body->title, &e->body->detail,
                                 &e->body->traceId, &e->body->error, &e->body->message})
            clean(*text);
    }
}

struct Client {
    ScriptedTransport transport;
    TokenReceiver receiver;
    ApiClient client{&transport, QUrl(QStringLiteral("https://service.invalid/api/v1")),
                     QStringLiteral("linux-child/1.1.0"), ApiClient::defaultTimeout,
                     BundleInfo()};
    Client() { client.attach(&receiver); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    static Client fixture;
    ScriptedTransport& transport = fixture.transport;
    ApiClient& client = fixture.client;

    const QByteArray rest = Fuzz::bytes(data + 3, size - 3);
    const qsizetype separator = rest.indexOf('\x1e');
    const QByteArray tokenField = separator < 0 ? QByteArray() : rest.left(separator);
    const QString token = QString::fromLatin1(
        plausibleToken(tokenField) ? tokenField : QByteArray("eyJhbGciOiJIUzI1NiJ9.ZGV2aWNl.c2ln"));
    const QByteArray body = separator < 0 ? rest : rest.mid(separator + 1);

    HttpTransport::Response& response = transport.next;
    response = {};
    switch ((data[0] >> 3) & 3) {
    case 2:
        response.kind = HttpTransport::Response::Kind::failed;
        response.error = QString::fromUtf8(body);
        break;
    case 3:
        response.kind = HttpTransport::Response::Kind::notHttp;
        break;
    default:
        response.kind = HttpTransport::Response::Kind::answered;
        response.status = (data[1] << 8 | data[2]) % 1000;
        response.bodyTooLarge = (data[0] & 0x80) != 0;
        if (!response.bodyTooLarge)
            response.body = body;
    }

    client.setAccessToken(token);
    fixture.receiver.received.reset();
    transport.requests = 0;
    Outcome outcome;
    std::optional<QString> renewed;
    const int call = data[0] & 7;
    switch (call) {
    case 0: {
        auto task = client.enroll(EnrollRequest::make(QStringLiteral("ABCD-1234"),
                                                      QStringLiteral("fingerprint"),
                                                      QStringLiteral("Laptop"),
                                                      QStringLiteral("Debian 12"),
                                                      QStringLiteral("1.1.0"),
                                                      QStringLiteral("LINUX")));
        auto awaiting = await(std::move(task), outcome);
        break;
    }
    case 1: {
        auto task = client.heartbeat(HeartbeatRequest::make(QStringLiteral("1.1.0"), 80, QStringLiteral("wifi")));
        auto awaiting = await(std::move(task), outcome);
        break;
    }
    case 2: {
        auto task = client.fetchPolicy();
        auto awaiting = await(std::move(task), outcome);
        break;
    }
    case 3: {
        AppUsageReport report;
        report.date = QStringLiteral("2025-03-01");
        auto task = client.reportAppUsage(std::move(report));
        auto awaiting = await(std::move(task), outcome);
        break;
    }
    case 4: {
        auto task = client.reportTamper(QStringLiteral("agent_stopped"), std::nullopt);
        auto awaiting = await(std::move(task), outcome);
        break;
    }
    default: {
        auto task = client.reportActivity({});
        auto awaiting = await(std::move(task), outcome);
        break;
    }
    }

    Fuzz::check(outcome.finished, "a call did not finish on an answer already there");
    Fuzz::check(transport.requests == 1, "a call did not send exactly one request");
    Fuzz::check(transport.sentAuthorization == (call != 0),
                "the token went with enrolment, or not with a device call");
    const bool answered = response.kind == HttpTransport::Response::Kind::answered;
    const bool success = answered && response.status >= 200 && response.status <= 299;
    if (outcome.value) {
        Fuzz::check(success && (!response.bodyTooLarge || response.status == 204),
                    "a value from an answer that is not a readable success");
        Fuzz::check(response.status != 204 || call == 4, "a value from an empty answer");
    } else {
        const ApiError& error = *outcome.error;
        checkNoToken(error, token);
        if (response.kind == HttpTransport::Response::Kind::notHttp)
            Fuzz::check(error.as<ApiError::Unexpected>() != nullptr, "not HTTP is not unexpected");
        else if (!answered)
            Fuzz::check(error.as<ApiError::Network>() != nullptr, "a failure is not network");
        else if (!success)
            Fuzz::check(error.as<ApiError::Http>() && error.status() == response.status,
                        "a non-2xx answer is not http with its status");
        else
            Fuzz::check(error.as<ApiError::Decoding>() != nullptr,
                        "a 2xx answer failed other than by decoding");
    }

    // Only an accepted activity batch renews the token, and then both the client and the store.
    const auto& taken = fixture.receiver.received;
    if (call >= 5 && outcome.value) {
        std::optional<QString> carried;
        try {
            carried = Json::decode<ActivityBatchResponse>(response.body).deviceToken;
        } catch (const Json::DecodingError&) {
        }
        if (carried && !carried->isEmpty())
            Fuzz::check(taken == carried, "an accepted batch's renewed token was not taken");
    }
    if (taken) {
        Fuzz::check(call >= 5 && outcome.value && !taken->isEmpty(),
                    "a token taken from something other than an accepted batch");
        Fuzz::check(client.accessToken() == taken, "the client kept another token than the store");
    } else {
        Fuzz::check(client.accessToken() == token, "the token changed without reaching the store");
    }
    return 0;
}
