#include "service_monitor_metric_period.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "metric_clocks.h"

namespace {

class MetricPeriodTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_wall = kWallStart;
        g_mono = 1000;
        period.periodMs = kPeriodMs;
        period.wallClockMs = wallNow;
        period.monoClockMs = monoNow;
        upload.wallClockMs = wallNow;
    }

    METRIC_REGISTRATION_T registration;
    METRIC_UPLOAD_T upload{&registration};
    METRIC_INGEST_T ingest;
    METRIC_PERIOD_T period{&upload, &ingest};
};

TEST_F(MetricPeriodTest, WallClockStepsMoveTheWindowAndNeverEndThePeriod) {
    METRIC_PERIOD_T* const m = &period;
    metric_period_anchor(m);
    const struct {
        int64_t wallStep;
        uint64_t monoStep;
        PeriodTick tick;
        int64_t windowMove;  // of the start against the previous row
    } rows[] = {
        {900, 0, PeriodTick::kRunning, 0},                // drift within a second
        {-60000, 0, PeriodTick::kWindowMoved, -59100},    // stepped back a minute
        {60000, 0, PeriodTick::kWindowMoved, 60000},      // and forward again
        {0, kPeriodMs + 1, PeriodTick::kEnded, 0},         // ends on the monotonic clock
    };
    uint64_t start = m->periodStartMs;
    for (const auto& row : rows) {
        g_wall += static_cast<uint64_t>(row.wallStep);
        g_mono += row.monoStep;
        EXPECT_EQ(metric_period_tick(m), row.tick) << row.wallStep;
        if (row.tick == PeriodTick::kEnded) {
            EXPECT_EQ(m->periodStartMs, g_wall.load());
            EXPECT_EQ(m->periodEndMonoMs, g_mono + kPeriodMs);
        } else {
            EXPECT_EQ(static_cast<int64_t>(m->periodStartMs - start), row.windowMove);
        }
        EXPECT_EQ(m->periodEndMs - m->periodStartMs, kPeriodMs);
        start = m->periodStartMs;
    }
}

// Batches merged while periods end on another thread: every sample lands in exactly one
// ended period. Built with ThreadSanitizer too, which sees a merge outside the cache lock.
TEST_F(MetricPeriodTest, MergesAndPeriodEndsMeetOnlyUnderTheCacheLock) {
    ASSERT_EQ(metric_ingest_init(&ingest), 0);
    ASSERT_EQ(metric_period_init(&period), 0);
    constexpr int kBatches = 300;
    constexpr int kPerBatch = 4;
    std::thread merger([this] {
        for (int i = 0; i < kBatches; ++i) {
            auto batch = std::make_unique<METRIC_BATCH_T>();
            batch->node.payload = batch.get();
            batch->enableEpoch = ingest.enableEpoch.load();
            for (int k = 0; k < kPerBatch; ++k) {
                METRIC_MESSAGE_T message{};
                snprintf(message.moduleName, sizeof message.moduleName, "svc%d", k % 2);
                snprintf(message.metricName, sizeof message.metricName, "m%d", k);
                message.collectRule = COLLECT_RULE_ACCUMULATE;
                message.value = 1;
                batch->messages.push_back(message);
            }
            (void)metric_merge_chain(&period, &batch.release()->node);
        }
    });
    double uploaded = 0;
    const auto takeEnded = [&] {
        metric_period_end(&period);
        const std::lock_guard<std::mutex> lock(upload.lock);
        for (const PERIOD_METRICS_T& metrics : upload.periods) {
            for (const PERIOD_METRIC_T& metric : metrics) uploaded += metric.value;
        }
        upload.periods.clear();
    };
    for (int i = 0; i < kBatches / 3; ++i) takeEnded();
    merger.join();
    takeEnded();
    EXPECT_EQ(uploaded, kBatches * kPerBatch);
    metric_period_deinit(&period);
}

}  // namespace
