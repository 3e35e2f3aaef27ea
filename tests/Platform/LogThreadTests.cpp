// The log layer's program prefix, read by a backend's thread while the program sets it (run
// under ThreadSanitizer too).
#include "Platform/Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(Log, LinesFromAnotherThreadReadThePrefixSafely)
{
    // A backend's watcher thread writes while the program sets its prefix (again).
    const QString prefix = QStringLiteral("[OrvaneHelper] ");
    Log::setProgramPrefix(prefix);
    const Log::Capture capture;
    std::atomic<bool> started = false;
    std::thread watcher([&started] {
        started = true;
        for (int i = 0; i < 200; ++i)
            Log::plain(QStringLiteral("line"));
    });
    while (!started) {
    }
    for (int i = 0; i < 200; ++i)
        Log::setProgramPrefix(prefix);
    watcher.join();
    Log::setProgramPrefix(QString());
    const QStringList lines = capture.messages();
    ASSERT_EQ(lines.size(), 200);
    EXPECT_EQ(lines.count(QStringLiteral("[OrvaneHelper] line")), 200);
}

} // namespace
