// The protocol's hot paths: the policy decoded every 30 seconds on the main thread, and the
// activity batch encoded every two minutes. Run: build/default/bench/protocol/protocol_bench
#include "Models/ActivityBatchRequest.h"
#include "Models/Policy.h"
#include "Support/Json.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QUuid>

namespace {

/** A policy as the service would send it, with `rules` custom rules. */
QByteArray policyJson(int rules)
{
    QByteArray json = R"({"childId":"11111111-2222-3333-4444-555555555555","filterLevel":"STRICT",)"
                      R"("safeSearch":true,"adultContentBlock":true,"pausedNow":false,)"
                      R"("pausedUntil":"2025-03-01T08:15:00.250Z","blockedCategories":["games","social","gambling"],)"
                      R"("updatedAt":"2025-03-01T08:00:00Z","tamperProtectionEnabled":true,"dailyScreenTimeMinutes":120,)"
                      R"("customRules":[)";
    for (int i = 0; i < rules; ++i) {
        if (i)
            json += ',';
        json += R"({"domain":"site-)" + QByteArray::number(i) + R"(.example.com","action":")" +
                (i % 3 ? "block" : "Allow") + R"("})";
    }
    json += "]}";
    return json;
}

ActivityBatchRequest batch(int events)
{
    ActivityBatchRequest request;
    const QUuid child("{11111111-2222-3333-4444-555555555555}");
    const QDateTime start(QDate(2025, 3, 1), QTime(8, 0), Qt::UTC);
    for (int i = 0; i < events; ++i)
        request.events.append(ActivityEvent::make(
            QStringLiteral("app.foreground"), child, start.addSecs(i),
            {{"bundleId", QStringLiteral("com.example.app%1").arg(i)}, {"title", QStringLiteral("Window %1").arg(i)}}));
    return request;
}

void DecodePolicy(benchmark::State& state)
{
    const QByteArray json = policyJson(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Policy policy = Json::decode<Policy>(json);
        benchmark::DoNotOptimize(policy);
    }
    state.SetBytesProcessed(state.iterations() * json.size());
    state.counters["rules"] = static_cast<double>(state.range(0));
}
BENCHMARK(DecodePolicy)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

/** The parsing share of DecodePolicy. */
void ParsePolicyText(benchmark::State& state)
{
    const QByteArray json = policyJson(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        Json::Document document(json);
        benchmark::DoNotOptimize(document.root().size());
    }
    state.SetBytesProcessed(state.iterations() * json.size());
}
BENCHMARK(ParsePolicyText)->Arg(10000)->Unit(benchmark::kMillisecond);

void EncodeActivityBatch(benchmark::State& state)
{
    const ActivityBatchRequest request = batch(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        QByteArray bytes = Json::encode(request);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["events"] = static_cast<double>(state.range(0));
}
BENCHMARK(EncodeActivityBatch)->Arg(100)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
