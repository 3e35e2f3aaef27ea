#include "DevService.h"

#include "TrackingTcpServer.h"

#include "Models/AcceptedResponse.h"
#include "Models/ActivityBatchRequest.h"
#include "Models/ActivityBatchResponse.h"
#include "Models/ApiErrorBody.h"
#include "Models/EnrollResponse.h"
#include "Models/HeartbeatResponse.h"

#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QMetaEnum>

#include <utility>
#include <variant>

namespace {

const QByteArray jsonType = "application/json";
const QByteArray problemType = "application/problem+json";
const char* const deviceCalls[] = {"enroll",      "heartbeat", "policy",
                                   "eventsBatch", "appUsage",  "tamper"};

QString idText(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QDateTime now()
{
    return QDateTime::currentDateTimeUtc();
}

QByteArray header(const QHttpServerRequest& request, const QByteArray& name)
{
    for (const auto& [key, value] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QString methodText(QHttpServerRequest::Method method)
{
    const char* key = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(method));
    return key ? QString::fromLatin1(key).toUpper() : QStringLiteral("?");
}

struct Problem {
    int status;
    QString title;
    QString detail;
};

QByteArray problemBody(const Problem& problem)
{
    ApiErrorBody body;
    body.status = problem.status;
    body.type = QStringLiteral("about:blank");
    body.title = problem.title;
    if (!problem.detail.isEmpty())
        body.detail = problem.detail;
    body.traceId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    return Json::encode(body);
}

/** The body as record R, or the 400 problem that says why not. */
template <typename R> std::variant<R, Problem> decodeBody(const QHttpServerRequest& request)
{
    Json::Value value;
    try {
        value = Json::parse(request.body());
    } catch (const Json::DecodingError& e) {
        return Problem{400, QStringLiteral("The request body is not valid JSON"),
                       QString::fromStdString(e.reason())};
    }
    try {
        return Json::Codec<R>::read(value, std::string());
    } catch (const Json::DecodingError& e) {
        return Problem{400,
                       QStringLiteral("The request body is not a valid %1")
                           .arg(QLatin1String(R::typeName.data(), R::typeName.size())),
                       QString::fromStdString(e.what())};
    }
}

/** What a tamper report must hold; the record itself is written only. */
struct TamperBody {
    static constexpr std::string_view typeName = "TamperReport";
    static TamperBody fromJson(const Json::Reader& r)
    {
        (void)r.required<QString>("eventType");
        (void)r.optional<QMap<QString, QString>>("details");
        return {};
    }
};

} // namespace

DevService::DevService(Options options, LineWriter writeLine, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_writeLine(std::move(writeLine)),
      m_policy(m_options.policyPath, m_writeLine)
{
    for (const char* call : deviceCalls)
        m_calls.insert(QString::fromLatin1(call), 0);
    addRoutes();
}

DevService::~DevService() = default;

bool DevService::start(QString* error)
{
    if (!m_policy.load(error))
        return false;
    m_tcp = new TrackingTcpServer(m_options.idleTimeout, this);
    if (!m_tcp->listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1 port %2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_tcp->errorString());
        return false;
    }
    m_http.bind(m_tcp);

    QString host = m_tcp->serverAddress().toString();
    if (m_tcp->serverAddress().protocol() == QAbstractSocket::IPv6Protocol)
        host = u'[' + host + u']';
    const QString port = QString::number(m_tcp->serverPort());
    m_writeLine(QStringLiteral("Listening on %1:%2").arg(host, port));
    m_writeLine(QStringLiteral("Base URL: http://%1:%2/api/v1").arg(host, port));
    m_writeLine(QStringLiteral("Pairing code: %1").arg(m_registry.pairingCode()));
    return true;
}

void DevService::addRoutes()
{
    using Method = QHttpServerRequest::Method;
    const auto device = [this](const char* call, DeviceCall handler) {
        return [this, call, handler](const QHttpServerRequest& request) {
            return serveDevice(request, call, handler);
        };
    };

    m_http.route("/api/v1/device/enroll", Method::Post, [this](const QHttpServerRequest& r) {
        ++m_calls[QStringLiteral("enroll")];
        return finish(r, enroll(r));
    });
    m_http.route("/api/v1/device/heartbeat", Method::Post,
                 device("heartbeat", &DevService::heartbeat));
    m_http.route("/api/v1/device/policy", Method::Get, device("policy", &DevService::policy));
    m_http.route("/api/v1/device/events/batch", Method::Post,
                 device("eventsBatch", &DevService::eventsBatch));
    m_http.route("/api/v1/device/app-usage", Method::Post,
                 device("appUsage", &DevService::appUsage));
    m_http.route("/api/v1/device/tamper", Method::Post, device("tamper", &DevService::tamper));

    m_http.route("/admin/pairing-code", Method::Post,
                 [this](const QHttpServerRequest& r) { return finish(r, mintPairingCode()); });
    m_http.route(
        "/admin/devices/<arg>/revoke", Method::Post,
        [this](const QString& id, const QHttpServerRequest& r) { return finish(r, revoke(id)); });
    m_http.route("/admin/devices/<arg>/renew-token", Method::Post,
                 [this](const QString& id, const QHttpServerRequest& r) {
                     return finish(r, renewToken(id));
                 });
    m_http.route("/admin/state", Method::Get,
                 [this](const QHttpServerRequest& r) { return finish(r, state()); });
    m_http.route("/admin/requests", Method::Get,
                 [this](const QHttpServerRequest& r) { return finish(r, requests()); });

    m_http.setMissingHandler([this](const QHttpServerRequest& request,
                                    QHttpServerResponder&& responder) {
        finish(request, {404, problemBody({404, QStringLiteral("There is no such call"), {}}), {}})
            .write(std::move(responder));
    });
}

QHttpServerResponse DevService::serveDevice(const QHttpServerRequest& request, const char* call,
                                            DeviceCall handler)
{
    ++m_calls[QString::fromLatin1(call)];
    const QByteArray authorization = header(request, "Authorization");
    const QByteArray scheme = "Bearer ";
    DeviceRegistry::Device* device = nullptr;
    if (authorization.startsWith(scheme))
        device = m_registry.deviceWithToken(QString::fromLatin1(authorization.mid(scheme.size())));
    if (!device)
        return finish(
            request,
            {401, problemBody({401, QStringLiteral("The device token is not valid"), {}}), {}});
    if (device->revoked)
        return finish(request,
                      {401, problemBody({401, QStringLiteral("This device has been removed"), {}}),
                       idText(device->id)});
    device->lastSeenAt = now();
    Reply reply = (this->*handler)(request, *device);
    reply.deviceId = idText(device->id);
    return finish(request, reply);
}

QHttpServerResponse DevService::finish(const QHttpServerRequest& request, const Reply& reply)
{
    if (request.url().path().startsWith(QStringLiteral("/api/")))
        recordRequest(request, reply);
    m_writeLine(QStringLiteral("%1 %2 %3 %4")
                    .arg(methodText(request.method()), request.url().path(QUrl::FullyEncoded),
                         QString::number(reply.status),
                         reply.deviceId.isEmpty() ? QStringLiteral("-") : reply.deviceId));
    const auto status = static_cast<QHttpServerResponse::StatusCode>(reply.status);
    if (reply.body.isEmpty())
        return QHttpServerResponse(status);
    return QHttpServerResponse(reply.status >= 400 ? problemType : jsonType, reply.body, status);
}

DevService::Reply DevService::enroll(const QHttpServerRequest& request)
{
    auto decoded = decodeBody<EnrollRequest>(request);
    if (auto* problem = std::get_if<Problem>(&decoded))
        return {problem->status, problemBody(*problem), {}};
    const auto enrollment = m_registry.enroll(std::get<EnrollRequest>(decoded), now());
    if (!enrollment)
        return {400,
                problemBody({400, QStringLiteral("That pairing code is not valid"),
                             QStringLiteral("Ask a parent for the code the dashboard shows now.")}),
                {}};
    EnrollResponse response;
    response.deviceToken = enrollment->token;
    response.deviceId = enrollment->device->id;
    response.childId = enrollment->device->childId;
    response.childName = QStringLiteral("Demo Child");
    response.tenantId = m_registry.tenantId();
    return {200, Json::encode(response), idText(enrollment->device->id)};
}

DevService::Reply DevService::heartbeat(const QHttpServerRequest& request,
                                        DeviceRegistry::Device& device)
{
    auto decoded = decodeBody<HeartbeatRequest>(request);
    if (auto* problem = std::get_if<Problem>(&decoded))
        return {problem->status, problemBody(*problem), {}};
    device.latestHeartbeat = std::get<HeartbeatRequest>(decoded);
    device.latestHeartbeatAt = now();
    HeartbeatResponse response;
    response.serverNowEpochMillis = now().toMSecsSinceEpoch();
    return {200, Json::encode(response), {}};
}

DevService::Reply DevService::policy(const QHttpServerRequest&, DeviceRegistry::Device& device)
{
    return {200, m_policy.contentFor(device.childId), {}};
}

DevService::Reply DevService::eventsBatch(const QHttpServerRequest& request,
                                          DeviceRegistry::Device& device)
{
    auto decoded = decodeBody<ActivityBatchRequest>(request);
    if (auto* problem = std::get_if<Problem>(&decoded))
        return {problem->status, problemBody(*problem), {}};
    const auto count =
        static_cast<std::int64_t>(std::get<ActivityBatchRequest>(decoded).events.size());
    device.eventsAccepted += count;
    ActivityBatchResponse response;
    response.accepted = count;
    response.rejected = 0;
    response.total = count;
    response.deviceToken = m_registry.takeRenewal(device);
    return {200, Json::encode(response), {}};
}

DevService::Reply DevService::appUsage(const QHttpServerRequest& request,
                                       DeviceRegistry::Device& device)
{
    auto decoded = decodeBody<AppUsageReport>(request);
    if (auto* problem = std::get_if<Problem>(&decoded))
        return {problem->status, problemBody(*problem), {}};
    device.latestUsageReport = std::get<AppUsageReport>(std::move(decoded));
    AcceptedResponse response;
    response.accepted = static_cast<std::int64_t>(device.latestUsageReport->items.size());
    return {200, Json::encode(response), {}};
}

DevService::Reply DevService::tamper(const QHttpServerRequest& request, DeviceRegistry::Device&)
{
    auto decoded = decodeBody<TamperBody>(request);
    if (auto* problem = std::get_if<Problem>(&decoded))
        return {problem->status, problemBody(*problem), {}};
    return {204, {}, {}};
}

DevService::Reply DevService::mintPairingCode()
{
    const QString code = m_registry.mintPairingCode();
    m_writeLine(QStringLiteral("Pairing code: %1").arg(code));
    return {200, Json::write(Json::Value{{"pairingCode", code.toStdString()}}), {}};
}

DevService::Reply DevService::revoke(const QString& deviceId)
{
    DeviceRegistry::Device* device = m_registry.device(QUuid::fromString(deviceId));
    if (!device)
        return {404, problemBody({404, QStringLiteral("There is no such device"), {}}), {}};
    device->revoked = true;
    device->renewalPending = false;
    Json::Writer w;
    w.put("deviceId", device->id).put("revoked", true);
    return {200, Json::write(w.take()), idText(device->id)};
}

DevService::Reply DevService::renewToken(const QString& deviceId)
{
    DeviceRegistry::Device* device = m_registry.device(QUuid::fromString(deviceId));
    if (!device)
        return {404, problemBody({404, QStringLiteral("There is no such device"), {}}), {}};
    if (device->revoked)
        return {409, problemBody({409, QStringLiteral("That device has been removed"), {}}),
                idText(device->id)};
    device->renewalPending = true;
    Json::Writer w;
    w.put("deviceId", device->id).put("renewalPending", true);
    return {200, Json::write(w.take()), idText(device->id)};
}

DevService::Reply DevService::state()
{
    Json::Value calls = Json::Value::object();
    for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it)
        calls[it.key().toStdString()] = it.value();
    Json::Value state = {
        {"pairingCode", m_registry.pairingCode().toStdString()},
        {"childId", Json::Codec<QUuid>::write(m_registry.childId())},
        {"tenantId", Json::Codec<QUuid>::write(m_registry.tenantId())},
        {"connectionsAccepted", m_tcp ? m_tcp->connectionsAccepted() : 0},
        {"calls", std::move(calls)},
        {"devices", m_registry.devicesJson()},
    };
    return {200, Json::write(state), {}};
}

void DevService::recordRequest(const QHttpServerRequest& request, const Reply& reply)
{
    constexpr std::size_t kept = 200;
    Json::Value headers = Json::Value::object();
    for (const auto& [name, value] : request.headers()) {
        std::string text = value.toStdString();
        if (name.compare("Authorization", Qt::CaseInsensitive) == 0) {
            const QByteArray scheme = "Bearer ";
            const bool known =
                value.startsWith(scheme) &&
                m_registry.deviceWithToken(QString::fromLatin1(value.mid(scheme.size())));
            text = value.startsWith(scheme)
                       ? (known ? "Bearer <device token>" : "Bearer <unknown token>")
                       : "<not a bearer token>";
        }
        headers[name.toStdString()] = text;
    }
    Json::Value entry = {
        {"method", methodText(request.method()).toStdString()},
        {"path", request.url().path(QUrl::FullyEncoded).toStdString()},
        {"status", reply.status},
        {"device", reply.deviceId.toStdString()},
        {"headers", std::move(headers)},
        {"body", request.body().toStdString()},
    };
    m_requests.push_back(std::move(entry));
    if (m_requests.size() > kept)
        m_requests.pop_front();
}

DevService::Reply DevService::requests() const
{
    Json::Value list = Json::Value::array();
    for (const auto& entry : m_requests)
        list.push_back(entry);
    return {200, Json::write(list), {}};
}
