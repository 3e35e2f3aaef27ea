#include "Services/ApiClient.h"

#include "Services/HttpTransport.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace {

const QString kRedacted = QStringLiteral("<redacted>");

QString redact(QString text, const std::optional<QString>& token)
{
    if (token && !token->isEmpty())
        text.replace(*token, kRedacted);
    return text;
}

std::optional<QString> redact(std::optional<QString> text, const std::optional<QString>& token)
{
    if (text)
        return redact(std::move(*text), token);
    return text;
}

ApiError redactWith(const ApiError& error, const std::optional<QString>& token)
{
    if (!token || token->isEmpty())
        return error;
    if (const auto* e = error.as<ApiError::Network>())
        return ApiError::network(redact(e->underlying, token));
    if (const auto* e = error.as<ApiError::Decoding>())
        return ApiError::decoding(e->type, redact(e->underlying, token));
    if (const auto* e = error.as<ApiError::Unexpected>())
        return ApiError::unexpected(redact(e->text, token));
    const auto& http = *error.as<ApiError::Http>();
    std::optional<ApiErrorBody> body = http.body;
    if (body) {
        body->type = redact(body->type, token);
        body->title = redact(body->title, token);
        body->detail = redact(body->detail, token);
        body->traceId = redact(body->traceId, token);
        body->error = redact(body->error, token);
        body->message = redact(body->message, token);
    }
    return ApiError::http(http.status, std::move(body), redact(http.traceId, token));
}

QUrl resolveBaseURL(const std::optional<QUrl>& argument, const BundleInfo& bundle)
{
    if (argument)
        return *argument;
    if (const auto text = bundle.text("ORVANE_API_BASE_URL")) {
        const QUrl url(*text, QUrl::StrictMode);
        if (!text->isEmpty() && url.isValid())
            return url;
    }
    return QUrl(QString::fromLatin1(ApiClient::defaultBaseURL));
}

/** Everything but the unreserved characters, so that "&", "=", "+" and "#" stay data. */
QByteArray encodeQueryPart(const QString& text)
{
    return QUrl::toPercentEncoding(text);
}

} // namespace

QByteArray ApiClient::rawValue(Method method)
{
    switch (method) {
    case Method::get:
        return QByteArrayLiteral("GET");
    case Method::post:
        return QByteArrayLiteral("POST");
    case Method::put:
        return QByteArrayLiteral("PUT");
    case Method::patch:
        return QByteArrayLiteral("PATCH");
    case Method::del:
        return QByteArrayLiteral("DELETE");
    }
    return {};
}

std::optional<ApiClient::Method> ApiClient::methodFromRawValue(QByteArrayView raw)
{
    for (const Method m : {Method::get, Method::post, Method::put, Method::patch, Method::del})
        if (raw == rawValue(m))
            return m;
    return std::nullopt;
}

ApiClient::ApiClient(HttpTransport* transport, std::optional<QUrl> baseURL,
                     QString clientHeader, std::chrono::milliseconds timeout,
                     const BundleInfo& bundle, QObject* parent)
    : QObject(parent), m_transport(transport), m_baseURL(resolveBaseURL(baseURL, bundle)),
      m_clientHeader(std::move(clientHeader)), m_timeout(timeout)
{
}

ApiClient::~ApiClient() = default;

ApiClient& ApiClient::shared()
{
    // Built once, on first use, and never destroyed (C++ guarantees one initialisation).
    static ApiClient* const instance =
        new ApiClient(&HttpTransport::shared(), std::nullopt, QStringLiteral("macos-child/1.1.0"));
    return *instance;
}

void ApiClient::setAccessToken(std::optional<QString> token)
{
    m_accessToken = std::move(token);
}

void ApiClient::attach(RenewedTokenReceiver* authStore)
{
    m_authStore = authStore;
}

QUrl ApiClient::makeURL(const QString& path, const QMap<QString, QString>& query) const
{
    QString rest = path;
    if (rest.startsWith(u'/'))
        rest.remove(0, 1);

    // Appending as a path: one "/" between the base path and the rest, which keeps its inner
    // "/" as separators and is percent-encoded where a path needs it.
    QUrl url = m_baseURL;
    QString basePath = url.path(QUrl::FullyDecoded);
    if (!rest.isEmpty()) {
        if (!basePath.endsWith(u'/'))
            basePath += u'/';
        basePath += rest;
    }
    url.setPath(basePath, QUrl::DecodedMode);
    if (!url.isValid())
        throw ApiError::unexpected(QStringLiteral("Bad URL: ") + path);

    if (!query.isEmpty()) {
        QByteArray text;
        for (auto it = query.cbegin(); it != query.cend(); ++it) {
            if (!text.isEmpty())
                text += '&';
            text += encodeQueryPart(it.key()) + '=' + encodeQueryPart(it.value());
        }
        url.setQuery(QString::fromLatin1(text), QUrl::StrictMode);
    }
    if (!url.isValid())
        throw ApiError::unexpected(QStringLiteral("Could not build URL from components"));
    return url;
}

QCoro::Task<ApiClient::Answer> ApiClient::send(QUrl url, Method method,
                                              std::optional<QByteArray> body, bool anonymous)
{
    HttpTransport::Request request;
    request.method = rawValue(method);
    request.url = std::move(url);
    request.timeout = m_timeout;
    request.maxBodyBytes = maxAnswerBytes;
    request.headers = {{"Accept", "application/json"}, {"X-Orvane-Client", m_clientHeader.toUtf8()}};
    if (body)
        request.headers.append(HttpTransport::Header("Content-Type", "application/json"));
    // The token as it is now: one set or cleared later affects only later requests.
    const std::optional<QString> token = anonymous ? std::nullopt : m_accessToken;
    if (token)
        request.headers.append(HttpTransport::Header("Authorization", "Bearer " + token->toUtf8()));
    request.body = std::move(body);

    QPointer<ApiClient> self(this);
    auto sending = m_transport->send(std::move(request));
    HttpTransport::Response response = co_await std::move(sending);
    if (!self)
        throw ApiError::unexpected(QStringLiteral("API client destroyed during the request"));

    switch (response.kind) {
    case HttpTransport::Response::Kind::notHttp:
        throw ApiError::unexpected(QStringLiteral("non-HTTP response"));
    case HttpTransport::Response::Kind::failed:
        throw redactWith(redacted(ApiError::network(response.error)), token);
    case HttpTransport::Response::Kind::answered:
        break;
    }
    Answer answer;
    answer.status = response.status;
    answer.body = std::move(response.body);
    answer.bodyTooLarge = response.bodyTooLarge;
    co_return answer;
}

ApiError ApiClient::redacted(const ApiError& error) const
{
    return redactWith(error, m_accessToken);
}

void ApiClient::applyRenewedToken(const QString& token)
{
    m_accessToken = token;
    QPointer<RenewedTokenReceiver> store = m_authStore;
    if (!store)
        return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        store->applyRenewedToken(token);
        return;
    }
    QMetaObject::invokeMethod(
        app,
        [store, token] {
            if (store)
                store->applyRenewedToken(token);
        },
        Qt::BlockingQueuedConnection);
}

// Each call is made into a named task before it is awaited: g++ 12 can destroy temporaries of
// a full-expression that holds co_await twice, so no co_await here has temporaries beside it.

QCoro::Task<EnrollResponse> ApiClient::enroll(EnrollRequest request)
{
    auto call = performRequest<EnrollResponse, EnrollRequest>(
        Method::post, QStringLiteral("/device/enroll"), std::move(request), {}, true);
    co_return co_await std::move(call);
}

QCoro::Task<HeartbeatResponse> ApiClient::heartbeat(HeartbeatRequest request)
{
    auto call = performRequest<HeartbeatResponse, HeartbeatRequest>(
        Method::post, QStringLiteral("/device/heartbeat"), std::move(request), {}, false);
    co_return co_await std::move(call);
}

QCoro::Task<Policy> ApiClient::fetchPolicy()
{
    auto call = performRequest<Policy, EmptyBody>(Method::get, QStringLiteral("/device/policy"),
                                                  std::nullopt, {}, false);
    co_return co_await std::move(call);
}

QCoro::Task<void> ApiClient::reportActivity(QList<ActivityEvent> events)
{
    QPointer<ApiClient> self(this);
    auto call = performRequest<ActivityBatchResponse, ActivityBatchRequest>(
        Method::post, QStringLiteral("/device/events/batch"),
        ActivityBatchRequest{std::move(events)}, {}, false);
    const ActivityBatchResponse answer = co_await std::move(call);
    if (self && answer.deviceToken && !answer.deviceToken->isEmpty())
        applyRenewedToken(*answer.deviceToken);
}

QCoro::Task<std::int64_t> ApiClient::reportAppUsage(AppUsageReport report)
{
    auto call = performRequest<AcceptedResponse, AppUsageReport>(
        Method::post, QStringLiteral("/device/app-usage"), std::move(report), {}, false);
    const AcceptedResponse answer = co_await std::move(call);
    co_return answer.accepted.value_or(0);
}

QCoro::Task<void> ApiClient::reportTamper(QString eventType,
                                          std::optional<QMap<QString, QString>> details)
{
    auto call = performRequest<EmptyResponse, TamperReport>(
        Method::post, QStringLiteral("/device/tamper"),
        TamperReport{std::move(eventType), std::move(details)}, {}, false);
    co_await std::move(call);
}
