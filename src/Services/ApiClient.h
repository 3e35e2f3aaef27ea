#pragma once

#include "Models/AcceptedResponse.h"
#include "Models/ActivityBatchRequest.h"
#include "Models/ActivityBatchResponse.h"
#include "Models/ActivityEvent.h"
#include "Models/ApiError.h"
#include "Models/AppUsageReport.h"
#include "Models/EmptyBody.h"
#include "Models/EmptyResponse.h"
#include "Models/EnrollRequest.h"
#include "Models/EnrollResponse.h"
#include "Models/HeartbeatRequest.h"
#include "Models/HeartbeatResponse.h"
#include "Models/Policy.h"
#include "Models/TamperReport.h"
#include "Platform/BundleInfo.h"
#include "Services/ApiAnswer.h"
#include "Support/Json.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

class HttpTransport;

/**
 * Who is told about a renewed device token. The session store implements it; the client holds
 * it weakly and calls it on the main thread after it has put the token in use itself.
 */
class RenewedTokenReceiver : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void applyRenewedToken(const QString& token) = 0;
};

/**
 * The JSON-over-HTTPS client of the service. Lives on the main thread; its operations are
 * coroutines that give the thread up while a request is under way. Failed calls throw
 * ApiError. Never retries, never follows redirects, keeps no cookies, writes no log.
 *
 * With g++ 12, do not write an aggregate-initialised temporary inside a co_await expression
 * (`co_await client.reportAppUsage(AppUsageReport{date, items})`): the compiler destroys it
 * twice. Name it first, or build it with a function (`HeartbeatRequest::make(...)` is fine).
 */
class ApiClient : public QObject {
    Q_OBJECT
public:
    enum class Method { get, post, put, patch, del };

    /** "GET", "POST", "PUT", "PATCH", "DELETE". */
    static QByteArray rawValue(Method method);
    /** Only the five exact upper-case texts give a method. */
    static std::optional<Method> methodFromRawValue(QByteArrayView raw);

    static constexpr std::chrono::milliseconds defaultTimeout{60'000};
    /** Answers longer than this are not read: see readAnswer. */
    static constexpr qint64 maxAnswerBytes = 16 * 1024 * 1024;
    static constexpr const char* defaultBaseURL = "https://api.orvane.ai/api/v1";

    /**
     * transport must outlive the client. baseURL, when given, wins over the bundle's
     * "ORVANE_API_BASE_URL"; the default is the service's HTTPS base with path "/api/v1".
     * timeout is the transfer (inactivity) timeout of every request.
     */
    ApiClient(HttpTransport* transport, std::optional<QUrl> baseURL, QString clientHeader,
              std::chrono::milliseconds timeout = defaultTimeout,
              const BundleInfo& bundle = BundleInfo::main(), QObject* parent = nullptr);
    ~ApiClient() override;

    /** The process-wide client ("macos-child/1.1.0", no base URL argument). Main thread. */
    static ApiClient& shared();

    [[nodiscard]] const QUrl& baseURL() const { return m_baseURL; }
    [[nodiscard]] const QString& clientHeader() const { return m_clientHeader; }
    [[nodiscard]] std::chrono::milliseconds timeout() const { return m_timeout; }

    void setAccessToken(std::optional<QString> token);
    [[nodiscard]] const std::optional<QString>& accessToken() const { return m_accessToken; }
    void attach(RenewedTokenReceiver* authStore);

    QCoro::Task<EnrollResponse> enroll(EnrollRequest request);
    QCoro::Task<HeartbeatResponse> heartbeat(HeartbeatRequest request);
    QCoro::Task<Policy> fetchPolicy();
    QCoro::Task<void> reportActivity(QList<ActivityEvent> events);
    QCoro::Task<std::int64_t> reportAppUsage(AppUsageReport report);
    QCoro::Task<void> reportTamper(QString eventType, std::optional<QMap<QString, QString>> details);

    /** The generic call with a body (absent: no body and no "Content-Type"). */
    template <typename Response, Json::WritableRecord Body>
    QCoro::Task<Response> request(Method method, QString path, std::optional<Body> body,
                                  QMap<QString, QString> query = {}, bool anonymous = false)
    {
        return performRequest<Response, Body>(method, std::move(path), std::move(body),
                                              std::move(query), anonymous);
    }

    template <typename Response, Json::WritableRecord Body>
    QCoro::Task<Response> request(Method method, QString path, Body body,
                                  QMap<QString, QString> query = {}, bool anonymous = false)
    {
        return performRequest<Response, Body>(method, std::move(path),
                                              std::optional<Body>(std::move(body)),
                                              std::move(query), anonymous);
    }

    /** The generic call without a body. */
    template <typename Response>
    QCoro::Task<Response> request(Method method, QString path, QMap<QString, QString> query = {},
                                  bool anonymous = false)
    {
        return performRequest<Response, EmptyBody>(method, std::move(path), std::nullopt,
                                                   std::move(query), anonymous);
    }

private:
    using Answer = ApiAnswer;

    QUrl makeURL(const QString& path, const QMap<QString, QString>& query) const;

    /** Sends and waits; throws network / unexpected ApiErrors (rules 1 and 2). */
    QCoro::Task<Answer> send(QUrl url, Method method, std::optional<QByteArray> body,
                             bool anonymous);

    /** An error with every held or sent token taken out of its texts. */
    [[nodiscard]] ApiError redacted(const ApiError& error) const;
    void applyRenewedToken(const QString& token);

    template <typename Response, typename Body>
    QCoro::Task<Response> performRequest(Method method, QString path, std::optional<Body> body,
                                         QMap<QString, QString> query, bool anonymous)
    {
        const QUrl url = makeURL(path, query);
        std::optional<QByteArray> encoded;
        if (body)
            encoded = Json::encode(*body); // an encoder failure ends the call unchanged
        auto sending = send(url, method, std::move(encoded), anonymous);
        const Answer answer = co_await std::move(sending);
        co_return readAnswer<Response>(answer);
    }

    template <typename Response>
    Response readAnswer(const Answer& answer) const
    {
        return readApiAnswer<Response>(answer, [this](const ApiError& e) { return redacted(e); });
    }

    HttpTransport* m_transport;
    QUrl m_baseURL;
    QString m_clientHeader;
    std::chrono::milliseconds m_timeout;
    std::optional<QString> m_accessToken;
    QPointer<RenewedTokenReceiver> m_authStore;
};

/** Methods are hashable (std::hash works as for any enumeration). */
inline size_t qHash(ApiClient::Method method, size_t seed = 0) noexcept
{
    return ::qHash(static_cast<int>(method), seed);
}
