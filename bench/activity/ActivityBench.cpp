#include "Platform/Linux/X11/X11ApplicationActivity.h"
#include "Services/ActivityReporter.h"
#include "TestSupport/ScriptedApplicationActivity.h"

#include <benchmark/benchmark.h>

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

const QDateTime kStart(QDate(2025, 1, 15), QTime(9, 0), Qt::UTC);

RunningApplication app(int n)
{
    return {QStringLiteral("org.example.Application%1").arg(n),
            QStringLiteral("Application %1").arg(n)};
}

// One activation as the reporter sees it: the handler takes the lock, checkpoints the open
// segment and opens the next one (identifier checks included).
void BM_Activation(benchmark::State& state)
{
    ManualClock clock(kStart);
    ScriptedApplicationActivity activity;
    ActivityReporter reporter(activity, clock);
    activity.setFrontmost(app(0));
    reporter.startUsageTracking();
    const RunningApplication apps[] = {app(1), app(2)};
    int i = 0;
    for (auto _ : state) {
        clock.advance(1);
        activity.activate(apps[i++ & 1]);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Activation);

void BM_UsageReport(benchmark::State& state)
{
    ManualClock clock(kStart);
    ScriptedApplicationActivity activity;
    ActivityReporter reporter(activity, clock);
    reporter.startUsageTracking();
    for (int n = 0; n < state.range(0); ++n) {
        activity.activate(app(n));
        clock.advance(2);
    }
    std::size_t items = 0;
    for (auto _ : state) {
        auto report = reporter.usageReport();
        items = report ? report->items.size() : 0;
        benchmark::DoNotOptimize(report);
    }
    state.counters["applications"] = static_cast<double>(state.range(0));
    state.counters["items"] = static_cast<double>(items);
}
BENCHMARK(BM_UsageReport)->Arg(1000)->Unit(benchmark::kMicrosecond);

// From setting _NET_ACTIVE_WINDOW to the handler on the backend's thread: one X round trip for
// the property change, three property reads and a desktop-entry lookup.
void BM_X11ActivationToHandler(benchmark::State& state)
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        state.SkipWithError("no X display (run under scripts/with-xvfb)");
        for (auto _ : state) {
        }
        return;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const auto atom = [connection](const char* name) {
        auto* reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
        std::free(reply);
        return atom;
    };
    const xcb_atom_t active = atom("_NET_ACTIVE_WINDOW");
    const xcb_atom_t gtk = atom("_GTK_APPLICATION_ID");
    xcb_window_t windows[2];
    for (auto& window : windows) {
        window = xcb_generate_id(connection);
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        const char id[] = "org.example.Bench";
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, gtk, atom("UTF8_STRING"), 8,
                            sizeof id - 1, id);
    }
    // Start from no active window: an earlier run may have left one of the same id active.
    const xcb_window_t none = XCB_NONE;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, active, XCB_ATOM_WINDOW, 32, 1,
                        &none);
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));

    X11ApplicationActivity activity;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t seen = 0;
    const Subscription subscription =
        activity.addActivationObserver([&](const RunningApplication&) {
            std::lock_guard lock(mutex);
            ++seen;
            changed.notify_all();
        });
    std::uint64_t sent = 0;
    for (auto _ : state) {
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, active, XCB_ATOM_WINDOW, 32, 1,
                            &windows[sent++ & 1]);
        xcb_flush(connection);
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen == sent; })) {
            state.SkipWithError("no activation arrived");
            break;
        }
    }
    xcb_disconnect(connection);
}
BENCHMARK(BM_X11ActivationToHandler)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
