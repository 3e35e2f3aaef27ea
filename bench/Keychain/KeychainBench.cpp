// How long the keychain holds the main thread: a save, a read and a read of a missing item
// against the session's Secret Service, and the answer when there is none.
#include "Services/KeychainStore.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

namespace {

KeychainStore& keychain()
{
    static KeychainStore store(QStringLiteral("ai.orvane.bench.keychain"));
    return store;
}

void saveDeviceToken(benchmark::State& state)
{
    double failed = 0;
    for (auto _ : state) {
        try {
            keychain().saveDeviceToken(QStringLiteral("bench-token-0123456789abcdef"));
        } catch (const KeychainStoreError&) {
            ++failed; // no Secret Service: the time is that of the failure
        }
    }
    state.counters["failed"] = failed;
}
BENCHMARK(saveDeviceToken)->Unit(benchmark::kMillisecond);

void readDeviceToken(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(keychain().readDeviceToken());
}
BENCHMARK(readDeviceToken)->Unit(benchmark::kMillisecond);

void readMissingChildId(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(keychain().readChildId());
}
BENCHMARK(readMissingChildId)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    keychain().clear();
    benchmark::Shutdown();
    return 0;
}
