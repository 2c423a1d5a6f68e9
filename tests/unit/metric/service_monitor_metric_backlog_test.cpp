#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "backlog_fixture.h"
#include "file_text.h"
#include "service_monitor_metric_backlog.h"

namespace {

TEST_F(BacklogTest, AnotherInstanceIsDroppedOnceKnownAndUnknownFilesStay) {
    metric_backlog_keep(open(), period(5, kNow), kNow);
    writeAll(dir_ + "/notes.txt", "mine");
    METRIC_BACKLOG_T* b = open(SM_BACKLOG_MAX_BYTES, 0);
    EXPECT_TRUE(metric_backlog_take(b, 8, kNow).empty());  // instance not known
    metric_backlog_set_instance(b, kInstance + 1);
    const BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.droppedInstance, 5U);
    EXPECT_EQ(stats.metricsNow, 0U);
    EXPECT_NE(access(segment(1).c_str(), F_OK), 0);  // nothing waits in it: deleted
    EXPECT_EQ(readAll(dir_ + "/notes.txt"), "mine");
    EXPECT_NE(metric_backlog_instance_digest("acc", "pk", "dev"),
              metric_backlog_instance_digest("acc", "pkd", "ev"));
}

TEST_F(BacklogTest, BoundsDropTheOldestFirst) {
    // Each 100-metric keep takes about 2.3 kB; a bound of 8 kB keeps the newest few.
    METRIC_BACKLOG_T* b = open(8000);
    for (uint64_t p = 0; p < 10; ++p) metric_backlog_keep(b, period(100, kNow + p), kNow);
    BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_LE(stats.bytesNow, 8000U);
    EXPECT_GT(stats.droppedFull, 0U);
    EXPECT_EQ(stats.kept, 1000U);
    EXPECT_EQ(stats.metricsNow + stats.droppedFull, 1000U);
    EXPECT_EQ(metric_backlog_take(b, 1, kNow)[0].ts, kNow + 10 - stats.metricsNow / 100);
    // Past the age bound: dropped at the next look, but for the one in flight.
    const uint64_t before = stats.metricsNow;
    (void)metric_backlog_take(b, 0, kNow + b->maxAgeMs + 10);
    stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.droppedAge, before - 1);
    EXPECT_EQ(stats.metricsNow, 1U);
}

// A metric stuck in flight holds its segment while the rest is taken one by one: the DONE
// records stay within the bound (its segment goes, the metric written again), a keep that
// needs the room costs it nothing, and it counts as uploaded once the cloud takes it.
TEST_F(BacklogTest, AStuckMetricKeepsTheDiskWithinItsBoundAndItsCount) {
    METRIC_BACKLOG_T* b = open(8000);
    metric_backlog_keep(b, period(250, kNow), kNow);
    const std::vector<BACKLOG_METRIC_T> stuck = metric_backlog_take(b, 1, kNow);
    uint64_t peak = 0;
    while (!attempt(1, BacklogOutcome::kUploaded).empty()) {
        uint64_t bytes = 0;
        for (int seq = 1; seq < 100; ++seq) bytes += readAll(segment(seq)).size();
        peak = std::max(peak, bytes);
    }
    EXPECT_LE(peak, 8000U);
    metric_backlog_keep(b, period(250, kNow + 1, "svc"), kNow);
    metric_backlog_resolve(b, {stuck[0].id}, {BacklogOutcome::kUploaded});
    const BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.uploaded, 250U);
    EXPECT_EQ(stats.droppedFull, 0U);
    EXPECT_EQ(stats.metricsNow, 250U);
}

// The period's thread reads the counts while the upload thread is inside an fsync.
TEST_F(BacklogTest, CountsAreReadWhileAKeepIsInItsFsync) {
    METRIC_BACKLOG_T* b = open();
    g_ops.holdFsync = true;
    std::thread keeper([&] { metric_backlog_keep(b, period(10, kNow), kNow); });
    for (int i = 0; i < 1000 && !g_ops.inFsync.load(); ++i) usleep(10000);
    EXPECT_TRUE(g_ops.inFsync.load());  // the keep is inside its fsync now
    auto counts = std::async(std::launch::async, [&] { return metric_backlog_stats(b); });
    EXPECT_EQ(counts.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    g_ops.holdFsync = false;
    keeper.join();
}

TEST_F(BacklogTest, SeriesGoOldestFirstOneAtATime) {
    METRIC_BACKLOG_T* b = open();
    metric_backlog_keep(b, period(3, kNow), kNow);
    metric_backlog_keep(b, period(3, kNow + 60000), kNow);
    EXPECT_TRUE(metric_backlog_holds_series(b, "net/wan", "m2"));
    EXPECT_FALSE(metric_backlog_holds_series(b, "net/wan", "m3"));
    std::vector<BACKLOG_METRIC_T> round = metric_backlog_take(b, 8, kNow);
    ASSERT_EQ(round.size(), 3U);  // one per series, the older period
    for (const BACKLOG_METRIC_T& m : round) EXPECT_EQ(m.ts, kNow);
    EXPECT_TRUE(metric_backlog_take(b, 8, kNow).empty());  // every series in flight
    metric_backlog_resolve(b, {round[0].id, round[1].id, round[2].id},
                           {BacklogOutcome::kRetry, BacklogOutcome::kUploaded,
                            BacklogOutcome::kAuthFailed});
    round = metric_backlog_take(b, 8, kNow);
    ASSERT_EQ(round.size(), 3U);
    // m0 retried and m2 once more after a 401: still their older metrics; m1 moves on.
    for (const BACKLOG_METRIC_T& m : round) {
        EXPECT_EQ(m.ts, strcmp(m.metricName, "m1") == 0 ? kNow + 60000 : kNow) << m.metricName;
    }
    EXPECT_STREQ(round[1].metricName, "m2");
    EXPECT_TRUE(round[1].authRetried);  // its next 401/403 is a refusal
    metric_backlog_resolve(b, {round[1].id}, {BacklogOutcome::kRefused});
    const BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.droppedRefused, 1U);
    EXPECT_EQ(stats.uploaded, 1U);
    EXPECT_EQ(stats.retried, 2U);
}

// A series with a period that has just ended goes before older series, its own older metric
// first: live data is not held behind the backlog of other series.
TEST_F(BacklogTest, SeriesWithAFreshMetricGoFirstInTheirOwnOrder) {
    METRIC_BACKLOG_T* b = open();
    metric_backlog_keep(b, period(2, kNow), kNow);
    std::vector<BACKLOG_METRIC_T> fresh = period(2, kNow + 60000);
    fresh.erase(fresh.begin());  // m1 only
    metric_backlog_add(b, fresh);
    const std::vector<BACKLOG_METRIC_T> round = metric_backlog_take(b, 1, kNow);
    ASSERT_EQ(round.size(), 1U);
    EXPECT_STREQ(round[0].metricName, "m1");
    EXPECT_EQ(round[0].ts, kNow);
}

}  // namespace
