// The helper program as it runs at login: a session in the Secret Service, the development
// service on 127.0.0.1, and an Info.json pointing the helper at it. The test reads what reached
// the service and what is left in the keychain.
#include "Models/EnrollResponse.h"
#include "Services/KeychainStore.h"
#include "Support/Json.h"
#include "TestSupport/Await.h"
#include "TestSupport/DevServiceProcess.h"
#include "TestSupport/SecretTool.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray fetch(QNetworkAccessManager& network, const QUrl& url, const QByteArray& method,
                 const QByteArray& body = {})
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply* reply = network.sendCustomRequest(request, method, body);
    processEventsUntil([reply] { return reply->isFinished(); }, 10000);
    const QByteArray answer = reply->readAll();
    reply->deleteLater();
    return answer;
}

/** The helper's bundle in a temporary folder: the program and its Info.json beside it. */
QString installHelperBundle(const QTemporaryDir& root, const QUrl& baseUrl)
{
    const QString bundle = root.filePath(QStringLiteral("OrvaneMacHelper"));
    QDir().mkpath(bundle);
    const QString program = bundle + QStringLiteral("/OrvaneMacHelper");
    if (!QFile::copy(QStringLiteral(ORVANE_HELPER), program))
        return {};
    QFile info(bundle + QStringLiteral("/Info.json"));
    if (!info.open(QIODevice::WriteOnly))
        return {};
    info.write(Json::write(Json::Value{
        {"CFBundleIdentifier", "ai.orvane.mac.helper"},
        {"CFBundleShortVersionString", "1.1.0"},
        {"CFBundleVersion", "7"},
        {"ORVANE_API_BASE_URL", baseUrl.toString().toStdString()},
    }));
    return program;
}

/**
 * The helper's own log lines (the texts of its runtime), without their time stamps. Lines of
 * the shared core carry the same prefix and are left out.
 */
QStringList logLines(const QByteArray& output)
{
    const QString prefix = QStringLiteral("[OrvaneHelper] ");
    const QStringList own{QStringLiteral("starting \u2014 "), QStringLiteral("scheduler started"),
                          QStringLiteral("scheduler stopped"), QStringLiteral("no device session")};
    QStringList lines;
    for (const QString& line : QString::fromUtf8(output).split(u'\n')) {
        const qsizetype at = line.indexOf(prefix);
        if (at < 0)
            continue;
        const QString text = line.mid(at);
        for (const QString& start : own)
            if (text.mid(prefix.size()).startsWith(start)) {
                lines << text;
                break;
            }
    }
    return lines;
}

/** Plain lines of the log (they begin with its time stamp) that lack the helper's prefix. */
QStringList unprefixedLogLines(const QByteArray& output)
{
    static const QRegularExpression stamped(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\S* (.*)$)"));
    static const QRegularExpression subsystemLine(QStringLiteral(R"(^\[[^\]:]+:[^\]]+\] (info|error): )"));
    QStringList lines;
    for (const QString& line : QString::fromUtf8(output).split(u'\n')) {
        const auto m = stamped.match(line);
        if (!m.hasMatch())
            continue;
        const QString text = m.captured(1);
        if (!text.startsWith(QStringLiteral("[OrvaneHelper] ")) && !subsystemLine.match(text).hasMatch())
            lines << text;
    }
    return lines;
}

struct Call {
    QString method;
    QString path;
    int status;
    qint64 atMs; // since the helper started, as seen by the test (never earlier than it was)
};

class HelperEndToEnd : public ::testing::Test {
protected:
    /** Waits until the service has logged a device call matching path; returns it. */
    std::optional<Call> waitForCall(const QString& path, int timeoutMs)
    {
        const bool seen = processEventsUntil(
            [&] {
                collect();
                for (const auto& c : calls)
                    if (c.path == path)
                        return true;
                return false;
            },
            timeoutMs);
        if (!seen)
            return std::nullopt;
        for (const auto& c : calls)
            if (c.path == path)
                return c;
        return std::nullopt;
    }

    void collect()
    {
        const QStringList lines = service.callLines();
        for (qsizetype i = seenLines; i < lines.size(); ++i) {
            const QStringList parts = lines[i].split(u' ');
            if (parts.size() >= 3 && parts[1].startsWith(QStringLiteral("/api/v1/device/")))
                calls.push_back({parts[0], parts[1], parts[2].toInt(), sinceStart.elapsed()});
        }
        seenLines = lines.size();
    }

    DevServiceProcess service{QStringLiteral(ORVANE_DEVSERVICE)};
    QNetworkAccessManager network;
    QElapsedTimer sinceStart;
    QList<Call> calls;
    qsizetype seenLines = 0;
};

TEST_F(HelperEndToEnd, ChecksInOnItsIntervalsAndUnpairsWhenTheDeviceIsRevoked)
{
    ASSERT_TRUE(service.start()) << service.output().toStdString();

    // Pair a device at the service and keep its credentials where the agent keeps them.
    const QByteArray enrollBody = Json::write(Json::Value{
        {"pairingCode", service.pairingCode().toStdString()},
        {"deviceFingerprint", "e2e"},
        {"model", "Test Laptop"},
        {"osVersion", "macOS 6.1.0"},
        {"appVersion", "1.1.0.7"},
        {"platform", "MACOS"},
    });
    const auto enrolled = Json::decode<EnrollResponse>(
        fetch(network, service.url(QStringLiteral("/api/v1/device/enroll")), "POST", enrollBody));
    KeychainStore keychain;
    keychain.saveDeviceToken(enrolled.deviceToken);
    keychain.saveDeviceId(enrolled.deviceId);
    keychain.saveChildId(enrolled.childId);
    const QString deviceId = enrolled.deviceId.toString(QUuid::WithoutBraces).toUpper();
    seenLines = service.callLines().size();

    QTemporaryDir root;
    const QString program = installHelperBundle(root, service.baseUrl());
    ASSERT_FALSE(program.isEmpty());
    QProcess helper;
    helper.setProcessChannelMode(QProcess::MergedChannels); // its log goes to stderr
    sinceStart.start();
    helper.start(program, {});
    ASSERT_TRUE(helper.waitForStarted());

    // The first policy pull one policy interval after start, the first heartbeat one heartbeat
    // interval after; nothing before. The times are when the test saw the log line, which is
    // never earlier than the call itself.
    const auto policy = waitForCall(QStringLiteral("/api/v1/device/policy"), 60000);
    ASSERT_TRUE(policy) << service.output().toStdString();
    EXPECT_EQ(calls.first().path, QStringLiteral("/api/v1/device/policy"));
    EXPECT_GE(policy->atMs, 30000);
    EXPECT_LT(policy->atMs, 45000);
    EXPECT_EQ(policy->status, 200);

    const auto heartbeat = waitForCall(QStringLiteral("/api/v1/device/heartbeat"), 60000);
    ASSERT_TRUE(heartbeat) << service.output().toStdString();
    EXPECT_GE(heartbeat->atMs, 60000);
    EXPECT_LT(heartbeat->atMs, 75000);
    EXPECT_EQ(heartbeat->status, 200);

    // What the calls carried, as the service received them.
    const Json::Value received =
        Json::parse(fetch(network, service.url(QStringLiteral("/admin/requests")), "GET"));
    bool sawHeartbeat = false, sawPolicy = false;
    for (const auto& r : received) {
        const auto& h = r["headers"];
        if (r["path"] == "/api/v1/device/heartbeat") {
            sawHeartbeat = true;
            EXPECT_EQ(r["method"], "POST");
            EXPECT_EQ(h.value("Content-Type", ""), "application/json");
            const auto body = Json::parse(QByteArray::fromStdString(r["body"].get<std::string>()));
            EXPECT_EQ(body["appVersion"], "1.1.0");
            EXPECT_TRUE(body["networkType"].is_string());
            EXPECT_FALSE(body.contains("batteryPct"));
            EXPECT_EQ(body.size(), 2u);
        } else if (r["path"] == "/api/v1/device/policy") {
            if (r["method"] != "GET")
                continue;
            sawPolicy = true;
            EXPECT_FALSE(h.contains("Content-Type"));
            EXPECT_EQ(r["body"], "");
        } else {
            continue;
        }
        EXPECT_EQ(h.value("Accept", ""), "application/json");
        EXPECT_EQ(h.value("X-Orvane-Client", ""), "macos-child/1.1.0");
        EXPECT_EQ(h.value("Authorization", ""), "Bearer <device token>");
        EXPECT_EQ(r["device"], deviceId.toStdString());
    }
    EXPECT_TRUE(sawHeartbeat);
    EXPECT_TRUE(sawPolicy);

    // Revoked at the service: the next call is refused, and the helper forgets the session.
    fetch(network, service.url(QStringLiteral("/admin/devices/") + deviceId + "/revoke"), "POST");
    const qsizetype before = calls.size();
    ASSERT_TRUE(processEventsUntil(
        [&] {
            collect();
            for (qsizetype i = before; i < calls.size(); ++i)
                if (calls[i].status == 401)
                    return true;
            return false;
        },
        60000))
        << service.output().toStdString();
    const QStringList item{QStringLiteral("service"), QStringLiteral("ai.orvane.mac.refresh")};
    EXPECT_TRUE(processEventsUntil([&] { return SecretTool::count(item) == 0; }, 10000))
        << "the keychain items are still there";
    for (const char* account : {"refresh", "deviceId", "childId"})
        EXPECT_FALSE(SecretTool::lookup(
            item + QStringList{QStringLiteral("account"), QString::fromLatin1(account)}));

    // Stopped: no call in the next 35 seconds, past the next tick of every timer that could
    // still be due (the activity cycle's included).
    collect();
    const qsizetype afterRefusal = calls.size();
    processEventsUntil([] { return false; }, 35000);
    collect();
    EXPECT_EQ(calls.size(), afterRefusal) << service.output().toStdString();
    EXPECT_EQ(helper.state(), QProcess::Running) << "the helper keeps running, idle";

    helper.terminate();
    helper.waitForFinished(5000);

    // Its log: the start, both starts of the scheduler in that order, and no "stopped" line,
    // since the scheduler had stopped itself before the session was cleared.
    const QByteArray output = helper.readAll();
    const QStringList log = logLines(output);
    const QStringList expected{
        QStringLiteral("[OrvaneHelper] starting \u2014 bundle=ai.orvane.mac.helper"),
        QStringLiteral("[OrvaneHelper] scheduler started after live pair"),
        QStringLiteral("[OrvaneHelper] scheduler started for device=") + deviceId,
    };
    EXPECT_EQ(log, expected) << log.join(u'\n').toStdString();
    // Every line it wrote carries its prefix, the platform backends' lines included.
    EXPECT_EQ(unprefixedLogLines(output), QStringList()) << output.toStdString();

    // Started again with the keychain now empty: it says so once, a second after start, and idles.
    QProcess idle;
    idle.setProcessChannelMode(QProcess::MergedChannels);
    idle.start(program, {});
    ASSERT_TRUE(idle.waitForStarted());
    QByteArray idleOutput;
    const QString idleLine =
        QStringLiteral("[OrvaneHelper] no device session \u2014 idle until paired");
    EXPECT_TRUE(processEventsUntil(
        [&] {
            idleOutput += idle.readAll();
            return logLines(idleOutput).contains(idleLine);
        },
        10000));
    idle.terminate();
    idle.waitForFinished(5000);
    idleOutput += idle.readAll();
    EXPECT_EQ(
        logLines(idleOutput),
        (QStringList{QStringLiteral("[OrvaneHelper] starting \u2014 bundle=ai.orvane.mac.helper"),
                     idleLine}));
    EXPECT_EQ(unprefixedLogLines(idleOutput), QStringList()) << idleOutput.toStdString();
}

} // namespace
