// The events' rules: a step worth reporting, and the day without a valid reply, warned once and
// cleared once.
#include "service/engine/ServiceEvents.h"

#include <gtest/gtest.h>

namespace {

constexpr UnixSeconds start = 1796731200; // 2026-12-08T12:00:00Z
constexpr UnixSeconds day = 86400;

} // namespace

TEST(ServiceEvents, AStepOfMoreThanAMinuteEitherWayIsBig) {
    EXPECT_FALSE(isBigStep(60000));
    EXPECT_FALSE(isBigStep(-60000));
    EXPECT_TRUE(isBigStep(60000.5));
    EXPECT_TRUE(isBigStep(-3600000));
    EXPECT_FALSE(isBigStep(0.4));
}

TEST(ServiceEvents, ADayWithoutAValidReplyIsWarnedOnceAndItsEndTold) {
    ReplyWatch watch(std::nullopt, start);
    // Failing from the start: nothing until the day is full, then one warning.
    EXPECT_FALSE(watch.afterPoll(false, start + 60, ""));
    EXPECT_FALSE(watch.afterPoll(false, start + day - 1, ""));
    const auto warning = watch.afterPoll(false, start + day, "");
    ASSERT_TRUE(warning);
    EXPECT_EQ(*warning,
              (ServiceEvent{
                  EventType::warning, event_id::noReplyForADay, {"2026-12-08T12:00:00Z", "3"}}));
    EXPECT_FALSE(watch.afterPoll(false, start + 2 * day, ""));
    const auto again = watch.afterPoll(true, start + 2 * day + 5, "pool.test");
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, (ServiceEvent{EventType::information,
                                    event_id::repliesAgain,
                                    {"pool.test", "2026-12-08T12:00:00Z"}}));
    // A valid reply without a warning before it tells nothing; the day counts from it anew.
    EXPECT_FALSE(watch.afterPoll(true, start + 3 * day, "pool.test"));
    EXPECT_FALSE(watch.afterPoll(false, start + 4 * day - 1, ""));
    EXPECT_TRUE(watch.afterPoll(false, start + 4 * day, ""));

    // A last success three days before the start (the computer was off over a weekend): the
    // day counts from the start. Where the warning was given before the restart, only the end
    // of it is told.
    ReplyWatch restarted(start - 3 * day, start);
    EXPECT_FALSE(restarted.afterPoll(false, start + 1, ""));
    EXPECT_FALSE(restarted.afterPoll(false, start + day - 1, ""));
    const auto late = restarted.afterPoll(false, start + day, "");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->strings, (std::vector<std::string>{"2026-12-05T12:00:00Z", "3"}));
    // A clock that reads earlier than the last success (its battery flat) still counts.
    ReplyWatch behind(start + 365 * day, start);
    EXPECT_TRUE(behind.afterPoll(false, start + day, ""));
    ReplyWatch warnedBefore(start - day, start, true);
    EXPECT_FALSE(warnedBefore.afterPoll(false, start + 1, ""));
    EXPECT_TRUE(warnedBefore.afterPoll(true, start + 2, "pool.test"));
}
