#include "Support/EventStream.h"
#include "Support/Observable.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

TEST(Observable, SubscriberGetsTheCurrentValueFirstThenEveryAssignment)
{
    Observable<int> value(1);
    std::vector<int> seen;
    auto subscription = value.subscribe([&](const int& v) { seen.push_back(v); });
    value.set(2);
    value.set(2); // unchanged, still published
    value.set(3);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 2, 3}));
    EXPECT_EQ(value.get(), 3);
    EXPECT_EQ(value(), 3);
}

TEST(Observable, SubscribeToChangesSkipsTheCurrentValue)
{
    Observable<bool> enrolled(false);
    std::vector<bool> seen;
    auto subscription = enrolled.subscribeToChanges([&](const bool& v) { seen.push_back(v); });
    enrolled.set(true);
    EXPECT_EQ(seen, std::vector<bool>{true});
}

TEST(Observable, ASubscriptionEndsWithItsHandle)
{
    Observable<int> value;
    int calls = 0;
    {
        auto subscription = value.subscribe([&](const int&) { ++calls; });
        value.set(1);
    }
    value.set(2);
    EXPECT_EQ(calls, 2); // the current value and one assignment
    auto again = value.subscribe([&](const int&) { ++calls; });
    again.reset();
    value.set(3);
    EXPECT_EQ(calls, 3);
}

TEST(Observable, AssignmentsFromAHandlerArePublishedInOrder)
{
    Observable<int> value(0);
    std::vector<int> first, second;
    auto a = value.subscribeToChanges([&](const int& v) {
        first.push_back(v);
        if (v == 1)
            value.set(2);
    });
    auto b = value.subscribeToChanges([&](const int& v) { second.push_back(v); });
    value.set(1);
    EXPECT_EQ(first, (std::vector<int>{1, 2}));
    EXPECT_EQ(value.get(), 2);
    // Each handler sees each assigned value; the nested assignment reaches b first.
    EXPECT_EQ(second, (std::vector<int>{2, 1}));
}

TEST(EventStream, DeliversInSubscriptionOrderWithoutHoldingAValue)
{
    EventStream<std::optional<int>> stream;
    std::vector<std::string> log;
    auto late = std::optional<Subscription>();
    auto a = stream.subscribe([&](const std::optional<int>& v) { log.push_back("a" + std::to_string(v.value_or(-1))); });
    auto b = stream.subscribe([&](const std::optional<int>& v) { log.push_back("b" + std::to_string(v.value_or(-1))); });
    stream.emit(1);
    auto c = stream.subscribe([&](const std::optional<int>& v) { log.push_back("c" + std::to_string(v.value_or(-1))); });
    stream.emit(std::nullopt);
    EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "a-1", "b-1", "c-1"}));
    EXPECT_EQ(stream.subscriberCount(), 3u);
}

TEST(EventStream, HandlersMayEndSubscriptionsWhileCalled)
{
    EventStream<int> stream;
    std::vector<std::string> log;
    Subscription b;
    Subscription a = stream.subscribe([&](const int&) {
        log.push_back("a");
        b.reset(); // ends another subscriber within the same round
        a.reset(); // and itself
    });
    b = stream.subscribe([&](const int&) { log.push_back("b"); });
    stream.emit(1);
    stream.emit(2);
    EXPECT_EQ(log, std::vector<std::string>{"a"});
    EXPECT_EQ(stream.subscriberCount(), 0u);
}

TEST(EventStream, ASubscriptionOutlivingItsStreamIsHarmless)
{
    Subscription s;
    {
        EventStream<int> stream;
        s = stream.subscribe([](const int&) {});
    }
    s.reset();
    SUCCEED();
}

} // namespace
