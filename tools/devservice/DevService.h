#pragma once

#include "DeviceRegistry.h"
#include "PolicyFile.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QMap>
#include <QObject>

#include <chrono>
#include <deque>
#include <functional>

class QHttpServerRequest;
class TrackingTcpServer;

/**
 * The local stand-in for the service: the six device calls under /api/v1/device/ and the admin
 * calls under /admin/, over plain HTTP. Every call is written as one line (method, path, status,
 * device id or "-"); tokens never are. GET /admin/requests shows the latest device calls with
 * their headers and bodies, the bearer token replaced by what it named.
 */
class DevService final : public QObject {
    Q_OBJECT

public:
    struct Options {
        QHostAddress address = QHostAddress(QHostAddress::LocalHost);
        quint16 port = 0; // 0: any free port
        QString policyPath;
        std::chrono::seconds idleTimeout{120};
    };
    using LineWriter = std::function<void(const QString&)>;

    DevService(Options options, LineWriter writeLine, QObject* parent = nullptr);
    ~DevService() override;

    /** Reads the policy, listens, and writes the address and the pairing code. */
    bool start(QString* error);

private:
    struct Reply {
        int status = 200;
        QByteArray body;
        QString deviceId; // for the log line
    };
    using DeviceCall = Reply (DevService::*)(const QHttpServerRequest&, DeviceRegistry::Device&);

    void addRoutes();
    QHttpServerResponse serveDevice(const QHttpServerRequest& request, const char* call,
                                    DeviceCall handler);
    QHttpServerResponse finish(const QHttpServerRequest& request, const Reply& reply);

    Reply enroll(const QHttpServerRequest& request);
    Reply heartbeat(const QHttpServerRequest& request, DeviceRegistry::Device& device);
    Reply policy(const QHttpServerRequest& request, DeviceRegistry::Device& device);
    Reply eventsBatch(const QHttpServerRequest& request, DeviceRegistry::Device& device);
    Reply appUsage(const QHttpServerRequest& request, DeviceRegistry::Device& device);
    Reply tamper(const QHttpServerRequest& request, DeviceRegistry::Device& device);

    Reply mintPairingCode();
    Reply revoke(const QString& deviceId);
    Reply renewToken(const QString& deviceId);
    Reply state();
    Reply requests() const;
    void recordRequest(const QHttpServerRequest& request, const Reply& reply);

    Options m_options;
    LineWriter m_writeLine;
    DeviceRegistry m_registry;
    PolicyFile m_policy;
    QHttpServer m_http;
    TrackingTcpServer* m_tcp = nullptr;
    QMap<QString, qint64> m_calls;
    std::deque<Json::Value> m_requests; // the latest device calls, newest last
};
