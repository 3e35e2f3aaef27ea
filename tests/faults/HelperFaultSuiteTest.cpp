// The helper program against a service that misbehaves on purpose, and against a desktop whose
// keyring, logind and wall clock misbehave. Paired through the real Secret Service
// (scripts/with-keyring); the service is a scripted HTTP server on 127.0.0.1. Scenarios that need
// many ticks run orvane-scaled-helper (the helper's start-up with short intervals); the one that
// needs the client's own 60 s timeout runs OrvaneMacHelper itself. For every scenario: the helper
// keeps running, the next tick of each kind succeeds after the fault, no tick comes in a burst,
// no POST goes out twice, queued events all arrive and none is accepted twice, only a 401
// unpairs, and the token is written nowhere. A table of scenarios and outcomes is printed at the
// end.
//
// Everything runs on this thread's event loop, so the helpers of the service's scenarios, started
// with the suite, keep being served while the desktop's scenarios run; their outcomes are read
// before the scenarios that unpair or stop the keyring.
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
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sys/prctl.h>

namespace {

using Answer = ScriptedHttpServer::Answer;

const QUuid deviceId = QUuid::fromString(QStringLiteral("0F8B7E6A-1C2D-4E5F-8A9B-0C1D2E3F4A5B"));
const QUuid childId = QUuid::fromString(QStringLiteral("6E5D4C3B-2A19-4807-9655-443322110099"));
const QByteArray policyJson =
    R"({"childId":"6E5D4C3B-2A19-4807-9655-443322110099","pausedNow":false})";
const QStringList keychainItem{QStringLiteral("service"), QStringLiteral("ai.orvane.mac.refresh")};

/** A token no other text contains, so that finding it anywhere is a leak. */
QString freshToken()
{
    return QStringLiteral("tok-") + QString::number(QRandomGenerator::global()->generate64(), 36) +
           QString::number(QRandomGenerator::global()->generate64(), 36);
}

const QString& deviceToken()
{
    static const QString token = freshToken();
    return token;
}

void pairThroughKeychain()
{
    KeychainStore keychain;
    keychain.saveDeviceToken(deviceToken());
    keychain.saveDeviceId(deviceId);
    keychain.saveChildId(childId);
}

/** Waits (the event loop running) until done() or the time is up. */
bool waitFor(const std::function<bool()>& done, qint64 timeoutMs)
{
    return processEventsUntil(done, static_cast<int>(timeoutMs));
}

void pause(qint64 ms)
{
    waitFor([] { return false; }, ms);
}

// --- the table ---

struct Outcome {
    QString scenario;
    QString program;
    QStringList failures;
    QString note;
};

std::vector<Outcome>& outcomes()
{
    static std::vector<Outcome> all;
    return all;
}

class TablePrinter : public ::testing::Environment {
public:
    void SetUp() override { m_clock.start(); }
    void TearDown() override
    {
        std::printf("\n%-46s %-7s %-6s %s\n", "scenario", "program", "result", "details");
        std::printf("%s\n", QByteArray(120, '-').constData());
        for (const auto& o : outcomes()) {
            const QStringList details = o.failures.isEmpty() ? QStringList{o.note} : o.failures;
            std::printf("%-46s %-7s %-6s %s\n", o.scenario.toUtf8().constData(),
                        o.program.toUtf8().constData(), o.failures.isEmpty() ? "ok" : "FAIL",
                        details.join(QStringLiteral("; ")).toUtf8().constData());
        }
        std::printf("fault suite: %.0f s of wall time\n", double(m_clock.elapsed()) / 1000.0);
        std::fflush(stdout);
    }

private:
    QElapsedTimer m_clock;
};

[[maybe_unused]] ::testing::Environment* const tablePrinter =
    ::testing::AddGlobalTestEnvironment(new TablePrinter);

// --- one helper against its own scripted service ---

struct Kind {
    QByteArray method;
    QByteArray path; // after the base "/api/v1"
    int interval;    // seconds
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
        QByteArray token;     // after "Bearer ", or empty
        bool accepted = true; // answered with a 2xx in full
    };

    struct Fault {
        QByteArray path; // empty: none
        std::function<Answer(HelperRun&)> answer;
        int count = 1; // this many requests in a row get it
        int skip = 0;  // after this many sound answers to the path
    };

    HelperRun(Program program, int events) : HelperRun(program, events, Fault{}) {}

    HelperRun(Program program, int events, Fault fault)
        : m_program(program), m_events(events), m_fault(std::move(fault)),
          m_faultsLeft(m_fault.answer ? m_fault.count : 0), m_skipLeft(m_fault.skip)
    {
        m_tokens.insert(deviceToken().toUtf8());
        server.setFallback([this](const ScriptedHttpServer::Request& r) { return answer(r); });
    }

    ~HelperRun() { stop(); }

    HelperRun(const HelperRun&) = delete;
    HelperRun& operator=(const HelperRun&) = delete;

    [[nodiscard]] std::vector<Kind> kinds() const
    {
        // The real helper has no desktop here, so no usage report and no events.
        if (m_program == Program::real)
            return {{"POST", "/device/heartbeat", 60}, {"GET", "/device/policy", 30}};
        return {{"POST", "/device/heartbeat", scaledHeartbeat},
                {"GET", "/device/policy", scaledPolicy},
                {"POST", "/device/app-usage", scaledActivity},
                {"POST", "/device/events/batch", scaledActivity}};
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
        // The helper never ends by itself: it goes with the test, however the test ends.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
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

    /** The helper's peak resident memory in MiB, while it runs. */
    [[nodiscard]] std::optional<double> peakResidentMiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return std::nullopt;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        return std::nullopt;
    }

    /**
     * Renews the token while a policy fetch with the old one is under way: the next policy
     * fetch is held, the next events batch after it is answered with `token`, and once a
     * request carries the new token the held fetch is refused with a 401, as are the tokens
     * used before from then on.
     */
    void renewAtNextBatch(const QString& token)
    {
        m_renewal = token.toUtf8();
        m_renewedAt.reset();
        m_staleRefusalSent = false;
    }
    /** Whether the held fetch got its 401 after the renewal. */
    [[nodiscard]] bool staleRefusalSent() const { return m_staleRefusalSent; }
    [[nodiscard]] std::optional<qint64> renewedAt() const { return m_renewedAt; }
    [[nodiscard]] const QByteArray& currentToken() const { return m_current; }

    /** Whether every kind (events only while some are undelivered) succeeded after `since`. */
    [[nodiscard]] bool eachKindSucceededAfter(qint64 since) const
    {
        for (const Kind& k : kinds()) {
            if (k.path == "/device/events/batch" && !eventsPendingAt(since))
                continue;
            if (!succeededBetween(k.path, since, now()))
                return false;
        }
        return true;
    }

    [[nodiscard]] bool succeededBetween(const QByteArray& path, qint64 from, qint64 to) const
    {
        for (const auto& s : m_seen)
            if (s.atMs > from && s.atMs <= to && s.accepted && s.path == path)
                return true;
        return false;
    }

    /** The events delivered (accepted) by `at`, by number, with how often each was accepted. */
    [[nodiscard]] std::map<int, int> deliveredEvents(qint64 at = -1) const
    {
        std::map<int, int> counts;
        for (const auto& s : m_seen) {
            if (!s.accepted || s.path != "/device/events/batch" || (at >= 0 && s.atMs > at))
                continue;
            try {
                const Json::Value batch = Json::parse(s.body);
                for (const auto& e : batch.at("events"))
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

    [[nodiscard]] bool allEventsDelivered() const { return !eventsPendingAt(-1); }

    /**
     * The checks every scenario shares; counts ticks for bursts from `burstFrom` on. Before the
     * end of a run (`final` false) events may still be queued, but none may have come twice.
     */
    void check(Outcome& o, qint64 burstFrom = 0, bool final = true)
    {
        const qint64 end = now();
        if (!running())
            o.failures << QStringLiteral("the helper ended (exit %1)").arg(m_process.exitCode());
        // No burst: at most one request of a kind per interval, plus the edges and the leeway.
        // The events go out as fast as the backlog allows, one batch per tick all the same.
        for (const Kind& k : kinds()) {
            int count = 0;
            for (const auto& s : m_seen)
                if (s.atMs >= burstFrom && s.path == k.path && s.method == k.method)
                    ++count;
            const qint64 allowed = (end - burstFrom) / (k.interval * 1000) + 2;
            if (count > allowed)
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
            if (s.atMs < burstFrom)
                continue;
            const QByteArray key = s.method + ' ' + s.path;
            if (auto it = last.find(key); it != last.end() && s.atMs - it->second < 500)
                ++resends[key];
            last[key] = s.atMs;
        }
        for (const auto& [key, count] : resends)
            if (count > (key.startsWith("GET") ? 1 : 0))
                o.failures << QStringLiteral("%1 sent again %2 time(s) within 500 ms")
                                  .arg(QString::fromLatin1(key))
                                  .arg(count);
        // Queued events: each accepted, none accepted twice.
        const auto delivered = deliveredEvents();
        int twice = 0;
        for (const auto& [n, c] : delivered)
            twice += c > 1;
        if (final && static_cast<int>(delivered.size()) != m_events)
            o.failures
                << QStringLiteral("%1 of %2 events delivered").arg(delivered.size()).arg(m_events);
        if (twice > 0)
            o.failures << QStringLiteral("%1 events accepted twice").arg(twice);
        // Every request as the paired device, with a token the service gave it.
        for (const auto& s : m_seen)
            if (!m_tokens.contains(s.token)) {
                o.failures << QStringLiteral("%1 %2 without the device's token")
                                  .arg(QString::fromLatin1(s.method), QString::fromLatin1(s.path));
                break;
            }
        // Still paired: the keychain holds the session and the helper said nothing of an unpair.
        if (SecretTool::count(keychainItem) == 0)
            o.failures << QStringLiteral("the keychain was cleared");
        if (output().contains("scheduler stopped after unpair"))
            o.failures << QStringLiteral("the helper unpaired");
        if (output().contains("[OrvaneHelper] [OrvaneHelper]"))
            o.failures << QStringLiteral("a log line carries the program's prefix twice");
        checkNoToken(o);
    }

    /** The tokens in no log line and no file the helper wrote; nothing at the redirect target. */
    void checkNoToken(Outcome& o)
    {
        for (const QByteArray& token : m_tokens) {
            if (output().contains(token))
                o.failures << QStringLiteral("a token is in the helper's output");
            QDirIterator files(m_root.path(), QDir::Files | QDir::Hidden | QDir::System,
                               QDirIterator::Subdirectories);
            while (files.hasNext()) {
                QFile f(files.next());
                if (f.open(QIODevice::ReadOnly) && f.readAll().contains(token))
                    o.failures << QStringLiteral("a token is in %1").arg(f.fileName());
            }
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
        Seen s{now(), r.method, r.path().mid(7), r.body, {}};
        if (const auto auth = r.header("Authorization"); auth && auth->startsWith("Bearer "))
            s.token = auth->mid(7);
        Answer a;
        if (s.path == m_fault.path && m_faultsLeft > 0 && m_skipLeft-- <= 0) {
            --m_faultsLeft;
            m_faultAt = m_faultAt.value_or(s.atMs);
            a = m_fault.answer(*this);
            s.accepted = false;
        } else if (!m_renewal.isEmpty() && !m_held && s.path == "/device/policy" &&
                   s.token == m_current) {
            // Still under way when the token is renewed; refused once the renewal is in use.
            a = Answer::hold();
            m_held = true;
            s.accepted = false;
        } else if (m_held && m_renewedAt && s.token == m_current) {
            m_held = false;
            QTimer::singleShot(0, &server, [this] {
                m_staleRefusalSent = server.releaseHeld(Answer::json(401, R"({"title":"old"})"));
            });
            a = soundAnswer(s.path);
        } else if (s.token != m_current) {
            a = Answer::json(401, R"({"title":"token renewed"})");
            s.accepted = false;
        } else if (s.path == "/device/events/batch" && m_held && !m_renewal.isEmpty()) {
            a = Answer::json(200, R"({"accepted":100,"deviceToken":")" + m_renewal + "\"}");
            m_tokens.insert(m_renewal);
            m_current = m_renewal;
            m_renewal.clear();
            m_renewedAt = s.atMs;
        } else {
            a = soundAnswer(s.path);
        }
        m_seen.push_back(std::move(s));
        return a;
    }

    static Answer soundAnswer(const QByteArray& path)
    {
        if (path == "/device/policy")
            return Answer::json(200, policyJson);
        if (path == "/device/app-usage")
            return Answer::json(200, R"({"accepted":1})");
        return Answer::json(200, "{}");
    }

    Program m_program;
    int m_events;
    Fault m_fault;
    int m_faultsLeft;
    int m_skipLeft;
    std::optional<qint64> m_faultAt;
    std::set<QByteArray> m_tokens;
    QByteArray m_current = deviceToken().toUtf8();
    QByteArray m_renewal;
    std::optional<qint64> m_renewedAt;
    bool m_held = false; // a request with the old token waits for the renewal
    bool m_staleRefusalSent = false;
    QTemporaryDir m_root;
    QProcess m_process;
    QByteArray m_output;
    QElapsedTimer m_clock;
    QList<Seen> m_seen;
};

/** Runs until each kind of tick has succeeded after `since`, then `more` ms further. */
bool runOn(HelperRun& run, qint64 since, qint64 more = 0, qint64 timeoutMs = 30000)
{
    if (!waitFor([&] { return run.eachKindSucceededAfter(since); }, timeoutMs))
        return false;
    pause(more);
    return true;
}

// --- the service misbehaves ---

struct HttpScenario {
    const char* name;
    Program program;
    HelperRun::Fault fault;
    int events = 0;
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

Answer redirectTo(HelperRun& run, int status, const char* path)
{
    return Answer::plain(status).header(
        "Location", run.other.url(QStringLiteral("/api/v1") + QLatin1String(path)).toEncoded());
}

const char* const neverAnswers = "never answers (the client's 60 s timeout)";

const std::vector<HttpScenario>& httpScenarios()
{
    static const std::vector<HttpScenario> table{
        {neverAnswers,
         Program::real,
         {"/device/policy", [](HelperRun&) { return Answer::neverAnswer(); }},
         0,
         95000},
        {"reset before the answer (policy GET, reused)",
         Program::scaled,
         {"/device/policy", [](HelperRun&) { return Answer::reset(); }, 1, 1}},
        {"reset before the answer (heartbeat POST)",
         Program::scaled,
         {"/device/heartbeat", [](HelperRun&) { return Answer::reset(); }, 1, 1}},
        {"reset in the middle of the body (policy)",
         Program::scaled,
         {"/device/policy",
          [](HelperRun&) { return Answer::json(200, policyJson).resetAfter(20); }}},
        {"reset in the middle of the body (events)",
         Program::scaled,
         {"/device/events/batch",
          [](HelperRun&) { return Answer::json(200, R"({"accepted":100})").resetAfter(5); }},
         150},
        {"bytes that are not HTTP (policy GET, reused)",
         Program::scaled,
         {"/device/policy",
          [](HelperRun&) { return Answer::raw("SSH-2.0-OpenSSH_9.2\r\n\x01\x02garbage\r\n\r\n"); },
          1, 1}},
        {"bytes that are not HTTP (events POST)",
         Program::scaled,
         {"/device/events/batch",
          [](HelperRun&) { return Answer::raw("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"); }},
         150},
        {"declares and streams 17 MiB (policy)",
         Program::scaled,
         {"/device/policy",
          [](HelperRun&) {
              return Answer::streamed(200, 17 * 1024 * 1024)
                  .header("Content-Type", "application/json");
          }}},
        {"streams 17 MiB without a length (policy)",
         Program::scaled,
         {"/device/policy",
          [](HelperRun&) { return Answer::streamed(200, 17 * 1024 * 1024, false); }}},
        {"redirect to another local port (heartbeat)",
         Program::scaled,
         {"/device/heartbeat",
          [](HelperRun& run) { return redirectTo(run, 307, "/device/heartbeat"); }}},
        {"redirect to another local port (policy)",
         Program::scaled,
         {"/device/policy", [](HelperRun& run) { return redirectTo(run, 302, "/device/policy"); }}},
        {"broken JSON body (policy)",
         Program::scaled,
         {"/device/policy",
          [](HelperRun&) { return Answer::json(200, R"({"childId":"6E5D4C3B-2A19-48)"); }}},
        {"broken JSON body (events)",
         Program::scaled,
         {"/device/events/batch", [](HelperRun&) { return Answer::json(200, "{\"accepted\":"); }},
         150},
        {"500 with 4 MiB of text (heartbeat)",
         Program::scaled,
         {"/device/heartbeat", [](HelperRun&) { return Answer::plain(500, megabytesOfText(4)); }}},
        {"500 with 4 MiB of text (events, twice)",
         Program::scaled,
         {"/device/events/batch", [](HelperRun&) { return Answer::plain(500, megabytesOfText(4)); },
          2},
         150},
        {"drips the answer a byte at a time (policy)",
         Program::scaled,
         {"/device/policy", [](HelperRun&) { return Answer::json(200, policyJson).dripped(25); }}},
    };
    return table;
}

/** The helpers of the service's scenarios, started with the suite and read by one test. */
struct HttpRuns {
    std::vector<std::unique_ptr<HelperRun>> runs;
    std::vector<std::optional<qint64>> closedAt; // when an unanswered request was given up
};

HttpRuns& httpRuns()
{
    static HttpRuns all;
    return all;
}

void startHttpRuns()
{
    HttpRuns& all = httpRuns();
    const auto& table = httpScenarios();
    all.closedAt.assign(table.size(), std::nullopt);
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto run = std::make_unique<HelperRun>(table[i].program, table[i].events, table[i].fault);
        QObject::connect(&run->server, &ScriptedHttpServer::unansweredConnectionClosed,
                         [&all, i, r = run.get()] { all.closedAt[i] = r->now(); });
        if (!run->start())
            ADD_FAILURE() << table[i].name << ": the helper did not start";
        all.runs.push_back(std::move(run));
    }
}

class HelperFaultSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        pairThroughKeychain();
        startHttpRuns();
    }
};

// --- the desktop misbehaves (while the service's scenarios run) ---

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
    Outcome o{QStringLiteral("100 sleep/wake pairs from logind"), run.programName(), {}, {}};
    ASSERT_TRUE(waitFor([&] { return logind.locksHandedOut() == 1; }, 30000))
        << run.output().toStdString();
    ASSERT_TRUE(runOn(run, 0)) << run.output().toStdString();

    const qint64 burstAt = run.now();
    for (int i = 0; i < 100; ++i) {
        logind.sendPrepareForSleep(true);
        logind.sendPrepareForSleep(false);
    }
    // Every wake takes a new delay lock: all 100 pairs have been handled.
    if (!waitFor([&] { return logind.locksHandedOut() == 101; }, 60000))
        o.failures << QStringLiteral("%1 of 100 wakes handled").arg(logind.locksHandedOut() - 1);
    // Each wake checks in once (with a busy machine the check-ins trail the wakes), and
    // nothing else comes with the burst but the ticks of its seconds.
    const auto kicksSince = [&](qint64 from) {
        int kicks = 0;
        for (const auto& s : run.seen())
            kicks += s.atMs >= from && s.path == "/device/heartbeat";
        return kicks;
    };
    if (!waitFor([&] { return kicksSince(burstAt) >= 100; }, 60000))
        o.failures << QStringLiteral("%1 heartbeats for 100 wakes").arg(kicksSince(burstAt));
    pause(1000);
    const int kicks = kicksSince(burstAt);
    if (kicks > 100 + (run.now() - burstAt) / (scaledHeartbeat * 1000) + 2)
        o.failures << QStringLiteral("%1 heartbeats for 100 wakes").arg(kicks);
    // After the burst: one set of timers, each kind on its interval.
    const qint64 quietFrom = run.now();
    if (!runOn(run, quietFrom, 3 * scaledActivity * 1000))
        o.failures << QStringLiteral("not every kind of tick succeeded after the burst");
    waitFor([&] { return run.allEventsDelivered(); }, 30000);
    o.note = QStringLiteral("%1 heartbeats for the 100 wakes (each wake checks in), then one "
                            "tick per interval")
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
    Outcome o{QStringLiteral("wall clock jumps across midnight"), run.programName(), {}, {}};

    // The days the usage reports name, in the order they came.
    const auto daysSince = [&](qint64 since) {
        QStringList days;
        for (const auto& s : run.seen())
            if (s.atMs > since && s.accepted && s.path == "/device/app-usage") {
                const QString day =
                    QString::fromStdString(Json::parse(s.body).value("date", std::string("?")));
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
    // Until the jump forward, no day's total exceeds the real time the helper has run (plus the
    // checkpoint of the open segment), whatever the wall clock did: a clock set back adds
    // nothing and takes nothing away. (A jump forward counts the time jumped over on the new
    // day, as the usage rule measures wall-clock time; the note shows how much.)
    qint64 afterForward = 0;
    int itemsChecked = 0;
    for (const auto& s : run.seen()) {
        if (s.path != "/device/app-usage")
            continue;
        const auto body = Json::parse(s.body);
        const std::string day = body.value("date", std::string());
        for (const auto& item : body.at("items")) {
            const qint64 seconds = item.value("foregroundSeconds", qint64(-1));
            if (s.atMs > forwardAt) {
                afterForward = std::max(afterForward, seconds);
                continue;
            }
            ++itemsChecked;
            const qint64 bound = s.atMs / 1000 + scaledActivity + 1;
            // The day the clock went back to starts from nothing.
            const qint64 backBound = (s.atMs - backAt) / 1000 + scaledActivity + 1;
            if (seconds < 0 || seconds > bound ||
                (s.atMs > backAt && day == before.toStdString() && seconds > backBound))
                o.failures << QStringLiteral("%1 s of use reported for %2 after %3 s of running")
                                  .arg(seconds)
                                  .arg(QString::fromStdString(day))
                                  .arg(s.atMs / 1000);
        }
    }
    if (itemsChecked == 0)
        o.failures << QStringLiteral("no usage measured before the jump forward");
    o.note = QStringLiteral("usage days: %1; the jump forward counted as %2 s of use")
                 .arg(daysSince(0).join(QStringLiteral(" -> ")))
                 .arg(afterForward);
    run.check(o);
    run.stop();
    EXPECT_TRUE(o.failures.isEmpty()) << o.failures.join("; ").toStdString() << "\n"
                                      << run.output().right(3000).toStdString();
    outcomes().push_back(o);
}

// --- the service's scenarios, read once each has run past its fault ---

TEST_F(HelperFaultSuite, KeepsItsScheduleWhateverTheServiceAnswers)
{
    HttpRuns& all = httpRuns();
    const auto& table = httpScenarios();
    ASSERT_EQ(all.runs.size(), table.size());
    const auto finished = [&](std::size_t i) {
        const HelperRun& r = *all.runs[i];
        const auto at = r.faultAt();
        return at && r.now() > *at + table[i].runAfterFaultMs && r.allEventsDelivered() &&
               r.eachKindSucceededAfter(*at + table[i].runAfterFaultMs / 2);
    };
    waitFor(
        [&] {
            for (std::size_t i = 0; i < all.runs.size(); ++i)
                if (!finished(i))
                    return false;
            return true;
        },
        180000);

    for (std::size_t i = 0; i < all.runs.size(); ++i) {
        const auto& sc = table[i];
        HelperRun& r = *all.runs[i];
        Outcome o{QString::fromUtf8(sc.name), r.programName(), {}, QString::fromUtf8(sc.note)};
        if (!r.faultAt())
            o.failures << QStringLiteral("the faulty request never came");
        else if (!r.eachKindSucceededAfter(*r.faultAt()))
            o.failures << QStringLiteral("not every kind of tick succeeded after the fault");
        if (sc.name == neverAnswers && r.faultAt()) {
            // Given up after the client's timeout, and the next ticks went on meanwhile.
            const auto closed = all.closedAt[i];
            if (!closed)
                o.failures << QStringLiteral("the unanswered request was never given up");
            else if (*closed - *r.faultAt() < 59000)
                o.failures << QStringLiteral("the unanswered request was given up after %1 ms")
                                  .arg(*closed - *r.faultAt());
            else if (!r.succeededBetween("/device/policy", *r.faultAt(), *closed))
                o.failures << QStringLiteral("no policy fetch succeeded while one hung");
            else
                o.note = QStringLiteral("given up %1 s after it went out; the next ticks went on")
                             .arg(double(*closed - *r.faultAt()) / 1000.0, 0, 'f', 1);
        }
        if (const auto peak = r.peakResidentMiB(); peak && o.note.isEmpty())
            o.note = QStringLiteral("peak RSS %1 MiB").arg(*peak, 0, 'f', 1);
        r.check(o);
        r.stop();
        EXPECT_TRUE(o.failures.isEmpty())
            << sc.name << ": " << o.failures.join(QStringLiteral("; ")).toStdString() << "\n"
            << r.output().right(3000).toStdString();
        outcomes().push_back(o);
    }
    all.runs.clear();
}

// --- the service unpairs; the keyring misbehaves ---

TEST_F(HelperFaultSuite, UnpairsOnlyOnA401AndThenStaysIdle)
{
    HelperRun run(Program::scaled, 0, {"/device/heartbeat", [](HelperRun&) {
                                           return Answer::json(401, R"({"title":"revoked"})");
                                       }});
    ASSERT_TRUE(run.start());
    Outcome o{QStringLiteral("401 on the heartbeat"),
              run.programName(),
              {},
              QStringLiteral("keychain cleared, helper idle")};
    ASSERT_TRUE(waitFor([&] { return run.faultAt().has_value(); }, 30000));
    if (!waitFor([&] { return SecretTool::count(keychainItem) == 0; }, 10000))
        o.failures << QStringLiteral("the keychain still holds the session");
    // Idle: nothing after the cycles that were already under way.
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

/** The PID of whoever owns name on the session bus. */
uint ownerPid(const QString& name)
{
    const auto reply = QDBusConnection::sessionBus().interface()->servicePid(name);
    return reply.isValid() ? reply.value() : 0;
}

const QString secrets = QStringLiteral("org.freedesktop.secrets");

/**
 * Renews the token through the next events batch while the keyring is in some state; the old
 * token is refused from then on. The helper must go on with the renewed token.
 */
void renewWhile(HelperRun& run, Outcome& o)
{
    const QString token = freshToken();
    run.renewAtNextBatch(token);
    if (!waitFor([&] { return run.staleRefusalSent(); }, 20000)) {
        o.failures << QStringLiteral("the renewal did not come about");
        return;
    }
    if (!runOn(run, *run.renewedAt() + 500, scaledActivity * 1000))
        o.failures << QStringLiteral("not every kind of tick succeeded after the renewal");
    for (const auto& s : run.seen())
        if (s.atMs > *run.renewedAt() + 1000 && s.token != token.toUtf8()) {
            o.failures << QStringLiteral("%1 with the old token after the renewal")
                              .arg(QString::fromLatin1(s.path));
            break;
        }
}

TEST_F(HelperFaultSuite, TheSecretServiceGoesAwayComesBackAndLocks)
{
    HelperRun run(Program::scaled, 1500);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(runOn(run, 0)) << run.output().toStdString();

    // Away: the keyring daemon that scripts/with-keyring started ends.
    Outcome away{QStringLiteral("Secret Service goes away and comes back"),
                 run.programName(),
                 {},
                 QStringLiteral("the session held in memory checks in; renewed token used")};
    const uint pid = ownerPid(secrets);
    ASSERT_NE(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    ASSERT_TRUE(waitFor([] { return ownerPid(secrets) == 0; }, 10000));
    if (!runOn(run, run.now()))
        away.failures << QStringLiteral("not every kind of tick succeeded while it was away");
    renewWhile(run, away);

    // Back: the helper's attempt to save the renewed token has the bus start a keyring daemon
    // again, as a desktop would; its login collection stays locked, for nobody typed the
    // password. Where nothing started one, the same keyring folder comes back unlocked.
    static QProcess keyring; // lives as long as the test program
    if (ownerPid(secrets) == 0) {
        keyring.start(QStringLiteral("gnome-keyring-daemon"),
                      {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                       QStringLiteral("--components=secrets")});
        keyring.write("orvane-test");
        keyring.closeWriteChannel();
        away.note += QStringLiteral("; restarted unlocked");
    } else {
        away.note += QStringLiteral("; started again by the bus, locked");
    }
    ASSERT_TRUE(waitFor([] { return ownerPid(secrets) != 0; }, 20000));
    if (!runOn(run, run.now()))
        away.failures << QStringLiteral("not every kind of tick succeeded after it came back");
    run.check(away, 0, false);
    EXPECT_TRUE(away.failures.isEmpty()) << away.failures.join("; ").toStdString();
    outcomes().push_back(away);

    // Locked: the login collection locks while the helper runs.
    Outcome locked{QStringLiteral("Secret Service locks"),
                   run.programName(),
                   {},
                   QStringLiteral("checks in as before; renewed token used; items stay")};
    auto call = QDBusMessage::createMethodCall(secrets, QStringLiteral("/org/freedesktop/secrets"),
                                               QStringLiteral("org.freedesktop.Secret.Service"),
                                               QStringLiteral("Lock"));
    call << QVariant::fromValue(QList<QDBusObjectPath>{
        QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    const qint64 lockedAt = run.now();
    if (!runOn(run, lockedAt))
        locked.failures << QStringLiteral("not every kind of tick succeeded while locked");
    renewWhile(run, locked);
    waitFor([&] { return run.allEventsDelivered(); }, 60000);
    run.check(locked, lockedAt);
    run.stop();
    EXPECT_TRUE(locked.failures.isEmpty()) << locked.failures.join("; ").toStdString() << "\n"
                                           << run.output().right(3000).toStdString();
    outcomes().push_back(locked);
}

} // namespace
