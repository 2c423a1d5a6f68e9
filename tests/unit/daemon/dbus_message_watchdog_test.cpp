#include "dbus_message_watchdog.h"

#include <gtest/gtest.h>

#include "common.h"

namespace {

time_t monotonicSeconds() { return static_cast<time_t>(get_monotonic_ms() / 1000u); }

// Feeds are timed on the monotonic clock, so a step of the wall clock neither stops nor
// rushes them; a failing start-up sends none. Without a bus connection nothing is sent,
// but the feed time is kept.
TEST(FeedDogTest, DueEveryFiveMonotonicSecondsOnceThePumpFed) {
    SERVICE_MONITOR_CTX_T ctx {};
    feed_dog_if_due(&ctx);
    EXPECT_EQ(ctx.last_feed_time.tv_sec, 0);
    ctx.last_feed_time.tv_sec = monotonicSeconds() - 4;
    const struct timeval early = ctx.last_feed_time;
    feed_dog_if_due(&ctx);
    EXPECT_EQ(ctx.last_feed_time.tv_sec, early.tv_sec);
    ctx.last_feed_time.tv_sec -= 1;
    feed_dog_if_due(&ctx);
    EXPECT_LE(monotonicSeconds() - ctx.last_feed_time.tv_sec, 1);
}

}  // namespace
