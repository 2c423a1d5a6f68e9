#include "service_monitor_metric_self.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "log_capture.h"
#include "metric_clocks.h"
#include "service_monitor_metric_period.h"

namespace {

using SelfValues = std::map<std::string, double>;

TEST(MetricSelfTest, OnlyTheValueOneSwitchesThemOn) {
    const struct {
        const char* value;
        bool on;
    } rows[] = {{"1", true}, {"0", false}, {"", false}, {"01", false}, {"1 ", false},
                {"true", false}, {nullptr, false}};
    for (const auto& row : rows) {
        EXPECT_EQ(metric_self_switch(row.value), row.on) << (row.value ? row.value : "null");
    }
}

// Every count distinct, so that a count taken for another, or a part left out of a sum,
// shows.
TEST(MetricSelfTest, ListIsMadeFromTheTally) {
    METRIC_PERIOD_TALLY_T tally;
    tally.accepted = 1000;
    tally.droppedByDisable = 7;  // samples, not uploaded metrics: no self-metric of its own
    tally.refused = {1, 2, 4, 8, 16};
    tally.queuePeakBytes = 4096;
    tally.uploadsAccepted = 30;
    tally.uploadsFailed = 3;
    tally.backlog.metricsNow = 12;
    tally.backlog.bytesNow = 777;
    tally.backlog.kept = 99;  // kept, retried and uploaded move metrics within the road
    tally.backlog.droppedFull = 100;
    tally.backlog.droppedAge = 200;
    tally.backlog.droppedRefused = 400;
    tally.backlog.droppedInstance = 800;
    SelfValues values;
    for (const SELF_METRIC_T& metric : metric_self_list(tally, 5120)) {
        EXPECT_LT(strlen(metric.name), kMetricNameSize) << metric.name;
        values[metric.name] = metric.value;
    }
    EXPECT_EQ(values, (SelfValues{{"samples_accepted", 1000}, {"requests_refused", 31},
                                  {"uploads_accepted", 30}, {"uploads_failed", 3},
                                  {"backlog_metrics", 12}, {"backlog_bytes", 777},
                                  {"metrics_dropped", 1500}, {"queue_peak_bytes", 4096},
                                  {"rss_kb", 5120}}));
}

class MetricSelfPeriodTest : public ::testing::Test {
protected:
    void SetUp() override {
        period.periodMs = kPeriodMs;
        period.wallClockMs = wallNow;
        period.monoClockMs = monoNow;
        upload.wallClockMs = wallNow;
        upload.enabled = &enable;
        ASSERT_EQ(metric_ingest_init(&ingest), 0);
        ASSERT_EQ(metric_period_init(&period), 0);
    }
    void TearDown() override { metric_period_deinit(&period); }

    // The self-metrics of the period handed over (taken from the queue); the posted sample
    // must be there too.
    SelfValues handedOver() {
        SelfValues values;
        bool posted = false;
        const std::lock_guard<std::mutex> lock(upload.lock);
        if (upload.periods.empty()) return values;
        for (const PERIOD_METRIC_T& metric : upload.periods.back()) {
            if (strcmp(metric.moduleName, kSelfModuleName) != 0) {
                posted = true;
                continue;
            }
            EXPECT_EQ(metric.collectRule, COLLECT_RULE_UPDATE);
            values[metric.metricName] = metric.value;
        }
        EXPECT_TRUE(posted);
        upload.periods.clear();
        return values;
    }

    std::atomic<uint32_t> enable{1};
    METRIC_REGISTRATION_T registration;
    METRIC_UPLOAD_T upload{&registration};
    METRIC_INGEST_T ingest;
    METRIC_PERIOD_T period{&upload, &ingest};
};

// They join the period that ends only while asked for and monitoring is on, with the very
// counts its summary line prints, although reading them resets them.
TEST_F(MetricSelfPeriodTest, PeriodEndAddsThemWithTheSummaryCounts) {
    const struct {
        bool wanted;
        uint32_t enable;
        size_t count;
    } rows[] = {{true, 1, kSelfMetricCount}, {false, 1, 0}, {true, 0, 0}};
    for (const auto& row : rows) {
        registration.selfMetrics = row.wanted;
        enable = row.enable;
        ingest.counts.accepted = 5;
        ingest.counts.refused[1] = 2;
        upload.uploadsAccepted = 3;
        upload.uploadsFailed = 1;
        METRIC_MESSAGE_T sample{"svc/func", "posted", COLLECT_RULE_UPDATE, 1};
        {
            const std::lock_guard<std::mutex> lock(period.cacheLock);
            ASSERT_EQ(insert_metric_data(period.cache, &sample), 0);
        }
        LogCapture& log = LogCapture::begin();
        metric_period_end(&period);
        SelfValues values = handedOver();
        ASSERT_EQ(values.size(), row.count) << row.wanted << row.enable;
        EXPECT_NE(log.take().find("period summary: samples accepted 5, dropped by disable 0, "
                                  "requests refused 100000:0 100001:2 100002:0 110100:0 110101:0, "
                                  "queue peak 0 bytes, uploads accepted 3 failed 1, backlog 0 "
                                  "metrics 0 bytes"),
                  std::string::npos);
        if (row.count == 0) continue;
        EXPECT_GT(values["rss_kb"], 0);
        values.erase("rss_kb");
        EXPECT_EQ(values, (SelfValues{{"samples_accepted", 5}, {"requests_refused", 2},
                                      {"uploads_accepted", 3}, {"uploads_failed", 1},
                                      {"backlog_metrics", 0}, {"backlog_bytes", 0},
                                      {"metrics_dropped", 0}, {"queue_peak_bytes", 0}}));
    }
}

}  // namespace
