// The helper program against a service that misbehaves on purpose, and against a desktop whose
// keyring, logind and wall clock misbehave. Paired through the real Secret Service
// (scripts/with-keyring); the service is a scripted HTTP server on 127.0.0.1. Scenarios that need
// many ticks run orvane-scaled-helper (the helper's start-up with short intervals); those that fit
// the real intervals run OrvaneMacHelper itself. For every scenario: the helper keeps running,
// the next tick of each kind succeeds after the fault, no tick comes in a burst, queued events
// all arrive and none is accepted twice, only a 401 unpairs, and the token is written nowhere.
// A table of scenarios and outcomes is printed at the end.
#include "Services/KeychainStore.h"
#include "Support/Json.h"
#include "TestSupport/Await.h"
#include "TestSupport/FakeLogind.h"
#include "TestSupport/ScriptedHttpServer.h"
#include "TestSupport/SecretTool.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include <csignal>

namespace {

using Answer = ScriptedHttpServer::Answer;

const QUuid deviceId = QUuid::fromString(QStringLiteral("0F8B7E6A-1C2D-4E5F-8A9B-0C1D2E3F4A5B"));
const QUuid childId = QUuid::fromString(QStringLiteral("6E5D4C3B-2A19-4807-9655-443322110099"));
const QByteArray policyJson =
    R"({"childId":"6E5D4C3B-2A19-4807-9655-443322110099","pausedNow":false})";
const QStringList keychainItem{QStringLiteral("service"), QStringLiteral("ai.orvane.mac.refresh")};

/** A token no other text contains, so that finding it anywhere is a leak. */
const QString& deviceToken()
{
    static const QString token = QStringLiteral("tok-") +
                                 QString::number(QRandomGenerator::global()->generate64(), 36) +
                                 QString::number(QRandomGenerator::global()->generate64(), 36);
    return token;
}

void pairThroughKeychain()
{
    KeychainStore keychain;
    keychain.saveDeviceToken(deviceToken());
    keychain.saveDeviceId(deviceId);
    keychain.saveChildId(childId);
}

// --- the table ---

struct Outcome {
    QString scenario;
    QString program;
    QStringList failures;
    QStringList resendFailures; // a request went out more often than allowed
    QString note;
};

std::vector<Outcome>& outcomes()
{
    static std::vector<Outcome> all;
    return all;
}

class TablePrinter : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::printf("\n%-44s %-8s %-6s %s\n", "scenario", "program", "result", "details");
        std::printf("%s\n", QByteArray(110, '-').constData());
        for (const auto& o : outcomes()) {
            QStringList details = o.failures;
            for (const auto& r : o.resendFailures)
                details << QStringLiteral("[resend; fixed by the libcurl client] ") + r;
            if (details.isEmpty())
                details << o.note;
            const char* result = o.failures.isEmpty() && o.resendFailures.isEmpty() ? "ok" : "FAIL";
            std::printf("%-44s %-8s %-6s %s\n", o.scenario.toUtf8().constData(),
                        o.program.toUtf8().constData(), result,
                        details.join(QStringLiteral("; ")).toUtf8().constData());
        }
        std::fflush(stdout);
    }
};

[[maybe_unused]] ::testing::Environment* const tablePrinter =
    ::testing::AddGlobalTestEnvironment(new TablePrinter);

// --- one helper against its own scripted service ---

struct Kind {
    QByteArray method;
    QByteArray path; // after the base "/api/v1"
    int interval;    // seconds; 0 for the activity cycle's second request
};

enum class Program { real, scaled };

/** The intervals of the scaled helper: short, yet far apart from a resend (milliseconds). */
constexpr int scaledHeartbeat = 3, scaledPolicy = 2, scaledActivity = 4;

class HelperRun {
public:
    struct Seen {
        qint64 atMs;
        QByteArray method;
        QByteArray path;
        QByteArray body;
        bool accepted; // answered with a 2xx in full
        bool fault;
        bool authorized;
    };

    /** The first `faults` requests to faultPath get fault(); everything else a sound answer. */
    HelperRun(Program program, int events, QByteArray faultPath = {},
              std::function<Answer()> fault = {}, int faults = 1)
        : m_program(program), m_events(events), m_faultPath(std::move(faultPath)),
          m_fault(std::move(fault)), m_faultsLeft(m_fault ? faults : 0)
    {
        server.setFallback([this](const ScriptedHttpServer::Request& r) { return answer(r); });
    }

    ~HelperRun() { stop(); }

    [[nodiscard]] std::vector<Kind> kinds() const
    {
        const bool real = m_program == Program::real;
        std::vector<Kind> all{{"POST", "/device/heartbeat", real ? 60 : scaledHeartbeat},
                              {"GET", "/device/policy", real ? 30 : scaledPolicy}};
        if (!real) {
            all.push_back({"POST", "/device/app-usage", scaledActivity});
            all.push_back({"POST", "/device/events/batch", scaledActivity});
        }
        return all;
    }

    bool start(const QProcessEnvironment& extra = {})
    {
        if (!server.listen() || !other.listen() || !m_root.isValid())
            return false;
        const bool real = m_program == Program::real;
        const QString bundle = m_root.filePath(QStringLiteral("bundle"));
        QDir().mkpath(bundle);
        const QString program =
            bundle + (real ? QStringLiteral("/OrvaneMacHelper") : QStringLiteral("/scaled-helper"));
        if (!QFile::copy(QString::fromUtf8(real ? ORVANE_HELPER : ORVANE_SCALED_HELPER), program))
            return false;
        QFile info(bundle + QStringLiteral("/Info.json"));
        if (!info.open(QIODevice::WriteOnly))
            return false;
        info.write(Json::write(Json::Value{
            {"CFBundleIdentifier", "ai.orvane.mac.helper"},
            {"CFBundleShortVersionString", "1.1.0"},
            {"CFBundleVersion", "7"},
            {"ORVANE_API_BASE_URL", server.url(QStringLiteral("/api/v1")).toString().toStdString()},
        }));
        info.close();

        // Whatever the helper writes to its home and XDG folders lands in the scenario's folder.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString home = m_root.filePath(QStringLiteral("home"));
        QDir().mkpath(home);
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
        env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
        env.insert(QStringLiteral("TMPDIR"), home);
        for (const QString& key : extra.keys())
            env.insert(key, extra.value(key));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_process, &QProcess::readyRead,
                         [this] { m_output += m_process.readAll(); });
        m_clock.start();
        const QStringList args =
            real ? QStringList{}
                 : QStringList{QString::number(scaledHeartbeat), QString::number(scaledPolicy),
                               QString::number(scaledActivity), QString::number(m_events)};
        m_process.start(program, args);
        return m_process.waitForStarted();
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        m_process.waitForFinished(10000);
        m_output += m_process.readAll();
    }

    [[nodiscard]] qint64 now() const { return m_clock.elapsed(); }
    [[nodiscard]] bool running() const { return m_process.state() == QProcess::Running; }
    [[nodiscard]] const QList<Seen>& seen() const { return m_seen; }
    [[nodiscard]] std::optional<qint64> faultAt() const { return m_faultAt; }
    [[nodiscard]] QString programName() const
    {
        return m_program == Program::real ? QStringLiteral("real") : QStringLiteral("scaled");
    }
    QByteArray output()
    {
        m_output += m_process.readAll();
        return m_output;
    }

    /** Whether every kind (events only while some are undelivered) succeeded after `since`. */
    [[nodiscard]] bool eachKindSucceededAfter(qint64 since) const
    {
        for (const Kind& k : kinds()) {
            if (k.path == "/device/events/batch" && !eventsPendingAt(since))
                continue;
            if (!succeededAfter(k, since))
                return false;
        }
        return true;
    }

    [[nodiscard]] bool succeededAfter(const Kind& k, qint64 since) const
    {
        for (const auto& s : m_seen)
            if (s.atMs > since && s.accepted && s.path.endsWith(k.path))
                return true;
        return false;
    }

    /** The events delivered (accepted) by `at`, by number, with how often each was accepted. */
    [[nodiscard]] std::map<int, int> deliveredEvents(qint64 at = -1) const
    {
        std::map<int, int> counts;
        for (const auto& s : m_seen) {
            if (!s.accepted || !s.path.endsWith("/device/events/batch") || (at >= 0 && s.atMs > at))
                continue;
            try {
                for (const auto& e : Json::parse(s.body)["events"])
                    ++counts[std::stoi(e["payload"]["n"].get<std::string>())];
            } catch (const std::exception&) {
            }
        }
        return counts;
    }

    [[nodiscard]] bool eventsPendingAt(qint64 at) const
    {
        return static_cast<int>(deliveredEvents(at).size()) < m_events;
    }

    /** The checks every scenario shares; `quietAfter` excludes ticks a wake may add. */
    void check(Outcome& o, qint64 burstFrom = 0)
    {
        const qint64 end = now();
        if (!running())
            o.failures << QStringLiteral("the helper ended (exit %1)").arg(m_process.exitCode());
        // No burst: from burstFrom on, at most one request of a kind per interval, plus the
        // edges (and the timer's leeway).
        for (const Kind& k : kinds()) {
            int count = 0;
            for (const auto& s : m_seen)
                if (s.atMs >= burstFrom && s.path.endsWith(k.path) && s.method == k.method)
                    ++count;
            const qint64 allowed = (end - burstFrom) / (k.interval * 1000) + 2;
            if (k.path != "/device/events/batch" && count > allowed)
                o.failures << QStringLiteral("%1 %2 times in %3 s (at most %4)")
                                  .arg(QString::fromLatin1(k.path))
                                  .arg(count)
                                  .arg(double(end - burstFrom) / 1000.0, 0, 'f', 1)
                                  .arg(allowed);
        }
        // A request of the same kind within 500 ms of the previous one is a resend (ticks are
        // seconds apart): never for a POST, at most once for a GET.
        std::map<QByteArray, int> resends;
        std::map<QByteArray, qint64> last;
        for (const auto& s : m_seen) {
            const QByteArray key = s.method + ' ' + s.path;
            if (auto it = last.find(key); it != last.end() && s.atMs - it->second < 500)
                ++resends[key];
            last[key] = s.atMs;
        }
        for (const auto& [key, count] : resends)
            if (count > (key.startsWith("GET") ? 1 : 0))
                o.resendFailures << QStringLiteral("%1 sent again %2 time(s) within 500 ms")
                                        .arg(QString::fromLatin1(key))
                                        .arg(count);
        // Queued events: each accepted, none accepted twice.
        const auto delivered = deliveredEvents();
        int twice = 0;
        for (const auto& [n, c] : delivered)
            twice += c > 1;
        if (static_cast<int>(delivered.size()) != m_events)
            o.failures << QStringLiteral("%1 of %2 events delivered")
                              .arg(delivered.size())
                              .arg(m_events);
        if (twice > 0)
            o.failures << QStringLiteral("%1 events accepted twice").arg(twice);
        // Still paired: the keychain holds the session and the helper said nothing of an unpair.
        const QByteArray log = output();
        if (SecretTool::count(keychainItem) == 0)
            o.failures << QStringLiteral("the keychain was cleared");
        if (log.contains("scheduler stopped after unpair"))
            o.failures << QStringLiteral("the helper unpaired");
        checkNoToken(o);
    }

    /** The token in no log line and no file the helper wrote; nothing at the redirect target. */
    void checkNoToken(Outcome& o)
    {
        if (output().contains(deviceToken().toUtf8()))
            o.failures << QStringLiteral("the token is in the helper's output");
        QDirIterator files(m_root.path(), QDir::Files | QDir::Hidden | QDir::System,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile f(files.next());
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains(deviceToken().toUtf8()))
                o.failures << QStringLiteral("the token is in %1").arg(f.fileName());
        }
        if (other.connectionCount() != 0)
            o.failures << QStringLiteral("the redirect target was contacted (%1 requests)")
                              .arg(other.requests().size());
    }

    ScriptedHttpServer server;
    ScriptedHttpServer other; // where a redirect points: must never be reached

private:
    Answer answer(const ScriptedHttpServer::Request& r)
    {
        Seen s{now(), r.method, r.path().mid(7), r.body, true, false,
               r.header("Authorization") == "Bearer " + deviceToken().toUtf8()};
        Answer a;
        if (m_faultsLeft > 0 && s.path == m_faultPath) {
            --m_faultsLeft;
            m_faultAt = m_faultAt.value_or(s.atMs);
            a = m_fault();
            s.fault = true;
            s.accepted = false;
        } else if (s.path == "/device/policy") {
            a = Answer::json(200, policyJson);
        } else if (s.path == "/device/app-usage") {
            a = Answer::json(200, R"({"accepted":1})");
        } else {
            a = Answer::json(200, "{}");
        }
        m_seen.push_back(std::move(s));
        return a;
    }

    Program m_program;
    int m_events;
    QByteArray m_faultPath;
    std::function<Answer()> m_fault;
    int m_faultsLeft;
    std::optional<qint64> m_faultAt;
    QTemporaryDir m_root;
    QProcess m_process;
    QByteArray m_output;
    QElapsedTimer m_clock;
    QList<Seen> m_seen;
};

/** Waits (the event loop running) until done() or the time is up. */
bool waitFor(const std::function<bool()>& done, qint64 timeoutMs)
{
    return processEventsUntil(done, static_cast<int>(timeoutMs));
}

class HelperFaultSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pairThroughKeychain(); }
};

// --- the service misbehaves ---

struct HttpScenario {
    const char* name;
    Program program;
    QByteArray path;
    std::function<Answer(HelperRun&)> fault;
    int events = 0;
    int faults = 1;
    int runAfterFaultMs = 9000; // past two ticks of every kind after the fault
    const char* note = "";
};

QByteArray megabytesOfText(int megabytes)
{
    QByteArray text;
    text.reserve(megabytes * 1024 * 1024);
    while (text.size() < megabytes * 1024 * 1024)
        text += "Internal error: the upstream database is unreachable. Retry later.\n";
    return text;
}

TEST_F(HelperFaultSuite, KeepsItsScheduleWhateverTheServiceAnswers)
{
    const std::vector<HttpScenario> table{
        {"never answers (client timeout 60 s)", Program::scaled, "/device/policy",
         [](HelperRun&) { return Answer::neverAnswer(); }, 0, 1, 66000,
         "the hung request is given up after the client's 60 s timeout"},
        {"reset before the answer (policy GET)", Program::real, "/device/policy",
         [](HelperRun&) { return Answer::reset(); }, 0, 1, 32000},
        {"reset before the answer (heartbeat POST)", Program::scaled, "/device/heartbeat",
         [](HelperRun&) { return Answer::reset(); }},
        {"reset in the middle of the body (policy)", Program::scaled, "/device/policy",
         [](HelperRun&) { return Answer::json(200, policyJson).resetAfter(20); }},
        {"reset in the middle of the body (events)", Program::scaled, "/device/events/batch",
         [](HelperRun&) { return Answer::json(200, R"({"accepted":100})").resetAfter(5); }, 150},
        {"bytes that are not HTTP (policy GET)", Program::real, "/device/policy",
         [](HelperRun&) { return Answer::raw("SSH-2.0-OpenSSH_9.2\r\n\x01\x02garbage\r\n\r\n"); },
         0, 1, 32000},
        {"bytes that are not HTTP (events POST)", Program::scaled, "/device/events/batch",
         [](HelperRun&) { return Answer::raw("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"); },
         150},
        {"declares and streams 17 MiB (policy)", Program::scaled, "/device/policy",
         [](HelperRun&) {
             return Answer::streamed(200, 17 * 1024 * 1024).header("Content-Type",
                                                                   "application/json");
         }},
        {"streams 17 MiB without a length (policy)", Program::scaled, "/device/policy",
         [](HelperRun&) { return Answer::streamed(200, 17 * 1024 * 1024, false); }},
        {"redirect to another local port (heartbeat)", Program::scaled, "/device/heartbeat",
         [](HelperRun& run) {
             return Answer::plain(307).header(
                 "Location", run.other.url(QStringLiteral("/api/v1/device/heartbeat")).toEncoded());
         }},
        {"redirect to another local port (policy)", Program::scaled, "/device/policy",
         [](HelperRun& run) {
             return Answer::plain(302).header(
                 "Location", run.other.url(QStringLiteral("/api/v1/device/policy")).toEncoded());
         }},
        {"broken JSON body (policy)", Program::scaled, "/device/policy",
         [](HelperRun&) { return Answer::json(200, R"({"childId":"6E5D4C3B-2A19-48)"); }},
        {"broken JSON body (events)", Program::scaled, "/device/events/batch",
         [](HelperRun&) { return Answer::json(200, "{\"accepted\":"); }, 150},
        {"500 with 4 MiB of text (heartbeat)", Program::scaled, "/device/heartbeat",
         [](HelperRun&) { return Answer::plain(500, megabytesOfText(4)); }},
        {"500 with 4 MiB of text (events, twice)", Program::scaled, "/device/events/batch",
         [](HelperRun&) { return Answer::plain(500, megabytesOfText(4)); }, 150, 2},
        {"drips the answer a byte at a time (policy)", Program::scaled, "/device/policy",
         [](HelperRun&) { return Answer::json(200, policyJson).dripped(25); }},
    };

    // All at once, each helper against its own server: the suite takes as long as its longest
    // scenario. None of them unpairs, so they share the keychain's session.
    std::vector<std::unique_ptr<HelperRun>> runs;
    std::vector<bool> timeoutsSeen(table.size(), false);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& sc = table[i];
        auto holder = std::make_shared<HelperRun*>(nullptr);
        auto run = std::make_unique<HelperRun>(
            sc.program, sc.events, sc.path, [holder, &sc] { return sc.fault(**holder); },
            sc.faults);
        *holder = run.get();
        QObject::connect(&run->server, &ScriptedHttpServer::unansweredConnectionClosed,
                         [&timeoutsSeen, i, r = run.get()] {
                             timeoutsSeen[i] = true;
                             const qint64 after = r->now() - r->faultAt().value_or(0);
                             std::printf("  [%s] the unanswered request was closed %.1f s after "
                                         "it went out\n",
                                         "never answers", double(after) / 1000.0);
                         });
        ASSERT_TRUE(run->start()) << sc.name;
        runs.push_back(std::move(run));
    }

    const auto finished = [&](std::size_t i) {
        const HelperRun& r = *runs[i];
        const auto at = r.faultAt();
        return at && r.now() > *at + table[i].runAfterFaultMs &&
               r.eachKindSucceededAfter(*at + table[i].runAfterFaultMs / 2);
    };
    waitFor(
        [&] {
            for (std::size_t i = 0; i < runs.size(); ++i)
                if (!finished(i))
                    return false;
            return true;
        },
        150000);

    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& sc = table[i];
        HelperRun& r = *runs[i];
        Outcome o{QString::fromUtf8(sc.name), r.programName(), {}, {}, QString::fromUtf8(sc.note)};
        if (!r.faultAt())
            o.failures << QStringLiteral("the faulty request never came");
        else if (!r.eachKindSucceededAfter(*r.faultAt()))
            o.failures << QStringLiteral("not every kind of tick succeeded after the fault");
        if (sc.runAfterFaultMs > 60000 && !timeoutsSeen[i])
            o.failures << QStringLiteral("the unanswered request was never given up");
        for (const auto& s : r.seen())
            if (!s.authorized)
                o.failures << QStringLiteral("%1 %2 without the device's token")
                                  .arg(QString::fromLatin1(s.method), QString::fromLatin1(s.path));
        r.check(o);
        r.stop();
        EXPECT_TRUE(o.failures.isEmpty())
            << sc.name << ": " << o.failures.join(QStringLiteral("; ")).toStdString() << "\n"
            << r.output().right(3000).toStdString();
        outcomes().push_back(o);
    }
}

// --- the service unpairs; the desktop misbehaves ---

/** Runs until each kind of tick has succeeded after `since`, then `more` ms further. */
bool runOn(HelperRun& run, qint64 since, qint64 more = 0, qint64 timeoutMs = 30000)
{
    if (!waitFor([&] { return run.eachKindSucceededAfter(since); }, timeoutMs))
        return false;
    const qint64 until = run.now() + more;
    waitFor([&] { return run.now() >= until; }, more + 1000);
    return true;
}

TEST_F(HelperFaultSuite, UnpairsOnlyOnA401AndThenStaysIdle)
{
    HelperRun run(Program::scaled, 0, "/device/heartbeat",
                  [] { return Answer::json(401, R"({"title":"revoked"})"); });
    ASSERT_TRUE(run.start());
    Outcome o{QStringLiteral("401 on the heartbeat"), run.programName(), {}, {},
              QStringLiteral("keychain cleared, helper idle")};
    ASSERT_TRUE(waitFor([&] { return run.faultAt().has_value(); }, 30000));
    if (!waitFor([&] { return SecretTool::count(keychainItem) == 0; }, 10000))
        o.failures << QStringLiteral("the keychain still holds the session");
    // Idle: nothing after the cycles that were already under way (one activity interval).
    const qint64 settled = *run.faultAt() + 1000;
    waitFor([&] { return run.now() > settled + 2 * scaledActivity * 1000; }, 20000);
    for (const auto& s : run.seen())
        if (s.atMs > settled)
            o.failures << QStringLiteral("%1 at %2 ms, after the unpair")
                              .arg(QString::fromLatin1(s.path))
                              .arg(s.atMs);
    if (!run.running())
        o.failures << QStringLiteral("the helper ended");
    run.checkNoToken(o);
    run.stop();
    EXPECT_TRUE(o.failures.isEmpty()) << o.failures.join("; ").toStdString();
    outcomes().push_back(o);
    pairThroughKeychain(); // for the scenarios that follow
}

TEST_F(HelperFaultSuite, AHundredSleepWakePairsInABurst)
{
    // logind on the test's bus, which the helper takes for its system bus.
    const QString bus = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_FALSE(bus.isEmpty());
    FakeLogind logind(bus);
    ASSERT_TRUE(logind.isRegistered());
    QProcessEnvironment env;
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus);
    HelperRun run(Program::scaled, 150);
    ASSERT_TRUE(run.start(env));
    Outcome o{QStringLiteral("100 sleep/wake pairs from logind"), run.programName(), {}, {}, {}};
    ASSERT_TRUE(waitFor([&] { return logind.locksHandedOut() == 1; }, 30000));
    ASSERT_TRUE(runOn(run, 0)) << run.output().toStdString();

    const qint64 burstAt = run.now();
    for (int i = 0; i < 100; ++i) {
        logind.sendPrepareForSleep(true);
        logind.sendPrepareForSleep(false);
    }
    // Every wake takes a new delay lock: all 100 pairs have been handled.
    if (!waitFor([&] { return logind.locksHandedOut() == 101; }, 60000))
        o.failures << QStringLiteral("%1 of 100 wakes handled").arg(logind.locksHandedOut() - 1);
    const qint64 handledAt = run.now();
    int kicks = 0;
    waitFor([&] { return run.now() > handledAt + 1000; }, 5000);
    for (const auto& s : run.seen())
        if (s.atMs >= burstAt && s.atMs <= run.now() && s.path == "/device/heartbeat")
            ++kicks;
    if (kicks > 102)
        o.failures << QStringLiteral("%1 heartbeats for 100 wakes").arg(kicks);
    // After the burst: one set of timers, each kind on its interval.
    const qint64 quietFrom = run.now();
    if (!runOn(run, quietFrom, 3 * scaledActivity * 1000))
        o.failures << QStringLiteral("not every kind of tick succeeded after the burst");
    o.note = QStringLiteral("%1 heartbeats sent for the 100 wakes (each wake checks in), "
                            "then one tick per interval")
                 .arg(kicks);
    run.check(o, quietFrom);
    run.stop();
    EXPECT_TRUE(o.failures.isEmpty()) << o.failures.join("; ").toStdString();
    outcomes().push_back(o);
}

TEST_F(HelperFaultSuite, TheWallClockJumpsAcrossLocalMidnight)
{
    const QString preload = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
    if (!QFile::exists(preload))
        GTEST_SKIP() << "libfaketime is missing (scripts/install-deps installs faketime)";
    // The helper's wall clock is the real one moved by an offset read from a file at every
    // reading; its monotonic clock, which its timers run on, is left alone, as in a real jump.
    QTemporaryDir folder;
    const QString offsetFile = folder.filePath(QStringLiteral("offset"));
    const auto setClock = [&](const QDateTime& to) {
        QFile f(offsetFile);
        const qint64 offset = QDateTime::currentDateTimeUtc().secsTo(to);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write((offset < 0 ? "" : "+") + QByteArray::number(offset) + '\n');
    };
    const QDateTime midnight(QDateTime::currentDateTimeUtc().date().addDays(2), QTime(0, 0),
                             QTimeZone::utc());
    const QString before = midnight.addDays(-1).date().toString(Qt::ISODate);
    const QString after = midnight.date().toString(Qt::ISODate);
    setClock(midnight.addSecs(-6));
    QProcessEnvironment env;
    env.insert(QStringLiteral("LD_PRELOAD"), preload);
    env.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), offsetFile);
    env.insert(QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1"));
    env.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    // The sanitizers' runtime would insist on coming first.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               qEnvironmentVariable("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
    HelperRun run(Program::scaled, 0);
    ASSERT_TRUE(run.start(env));
    Outcome o{QStringLiteral("wall clock jumps across midnight"), run.programName(), {}, {}, {}};

    // The days the usage reports name, in the order they came.
    const auto daysSince = [&](qint64 since) {
        QStringList days;
        for (const auto& s : run.seen())
            if (s.atMs > since && s.accepted && s.path == "/device/app-usage") {
                const QString day = QString::fromStdString(
                    Json::parse(s.body).value("date", std::string("?")));
                if (days.isEmpty() || days.last() != day)
                    days << day;
            }
        return days;
    };
    // Across midnight as the clock runs, back before it, then forward again.
    const bool crossed = waitFor([&] { return daysSince(0).contains(after); }, 30000);
    const qint64 backAt = run.now();
    setClock(midnight.addSecs(-3600));
    const bool back = waitFor([&] { return daysSince(backAt).contains(before); }, 30000);
    const qint64 forwardAt = run.now();
    setClock(midnight.addSecs(6 * 3600));
    const bool forward = waitFor([&] { return daysSince(forwardAt).contains(after); }, 30000);
    if (!crossed || !back || !forward)
        o.failures << QStringLiteral("usage days seen: %1").arg(daysSince(0).join(u' '));
    if (!runOn(run, run.now(), 2 * scaledActivity * 1000))
        o.failures << QStringLiteral("not every kind of tick succeeded after the jumps");
    // The day after the jump back starts from nothing: its total is no more than the time
    // since the jump (plus the checkpoint interval).
    for (const auto& s : run.seen())
        if (s.atMs > backAt && s.atMs < forwardAt && s.path == "/device/app-usage") {
            const auto body = Json::parse(s.body);
            if (body.value("date", std::string()) != before.toStdString())
                continue;
            for (const auto& item : body["items"])
                if (item.value("seconds", 0) > (s.atMs - backAt) / 1000 + scaledActivity + 1)
                    o.failures << QStringLiteral("%1 s of use on the day the clock went back to")
                                      .arg(item.value("seconds", 0));
        }
    o.note = QStringLiteral("usage days: %1").arg(daysSince(0).join(QStringLiteral(" → ")));
    run.check(o);
    run.stop();
    EXPECT_TRUE(o.failures.isEmpty()) << o.failures.join("; ").toStdString() << "\n"
                                      << run.output().right(3000).toStdString();
    outcomes().push_back(o);
}

/** The PID of whoever owns name on the session bus. */
uint ownerPid(const QString& name)
{
    const auto reply = QDBusConnection::sessionBus().interface()->servicePid(name);
    return reply.isValid() ? reply.value() : 0;
}

TEST_F(HelperFaultSuite, TheSecretServiceGoesAwayComesBackAndLocks)
{
    HelperRun run(Program::scaled, 0);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(runOn(run, 0)) << run.output().toStdString();

    // Away: the keyring daemon that scripts/with-keyring started ends.
    Outcome away{QStringLiteral("Secret Service goes away and comes back"), run.programName(),
                 {}, {}, QStringLiteral("the session held in memory keeps checking in")};
    const uint pid = ownerPid(QStringLiteral("org.freedesktop.secrets"));
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_TRUE(waitFor([] { return ownerPid(QStringLiteral("org.freedesktop.secrets")) == 0; },
                        10000));
    if (!runOn(run, run.now()))
        away.failures << QStringLiteral("not every kind of tick succeeded while it was away");

    // Back: the same keyring folder, unlocked again with its password.
    static QProcess keyring; // lives as long as the test program
    keyring.start(QStringLiteral("gnome-keyring-daemon"),
                  {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                   QStringLiteral("--components=secrets")});
    keyring.write("orvane-test");
    keyring.closeWriteChannel();
    ASSERT_TRUE(waitFor([] { return ownerPid(QStringLiteral("org.freedesktop.secrets")) != 0; },
                        20000));
    if (!runOn(run, run.now()))
        away.failures << QStringLiteral("not every kind of tick succeeded after it came back");
    run.check(away);
    EXPECT_TRUE(away.failures.isEmpty()) << away.failures.join("; ").toStdString();
    outcomes().push_back(away);

    // Locked: the login collection locks while the helper runs.
    Outcome locked{QStringLiteral("Secret Service locks"), run.programName(), {}, {},
                   QStringLiteral("checks in as before; the items stay")};
    auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    call << QVariant::fromValue(QList<QDBusObjectPath>{
        QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    const qint64 lockedAt = run.now();
    if (!runOn(run, lockedAt, 2 * scaledActivity * 1000))
        locked.failures << QStringLiteral("not every kind of tick succeeded while locked");
    run.check(locked, lockedAt);
    run.stop();
    EXPECT_TRUE(locked.failures.isEmpty()) << locked.failures.join("; ").toStdString();
    outcomes().push_back(locked);
}

// Depends on the libcurl transport: Qt's HTTP stack resends a request by itself.
TEST_F(HelperFaultSuite, NoRequestGoesOutMoreOftenThanAllowed)
{
    bool any = false;
    for (const auto& o : outcomes()) {
        any = true;
        EXPECT_TRUE(o.resendFailures.isEmpty())
            << o.scenario.toStdString() << ": " << o.resendFailures.join("; ").toStdString();
    }
    if (!any)
        GTEST_SKIP() << "runs after the service scenarios, from their records";
}

} // namespace
