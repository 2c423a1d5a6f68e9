#include "service_monitor_metric_retry.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "raii.h"
#include "upload_fixture.h"

namespace {

class MetricRetryTest : public MetricUploadTest {};

// The link goes down for two periods, then comes back with a server fault, a permanent
// refusal and a revoked credential among the answers.
int g_linkDown = 1;
int outageAnswer(const std::string& body, size_t) {
    if (g_linkDown != 0) return -1;
    if (body.find("\"bad\"") != std::string::npos) return 400;
    if (body.find("\"auth\"") != std::string::npos) return 401;
    static int faults = 0;
    return body.find("\"m1\"") != std::string::npos && faults++ == 0 ? 503 : 0;
}

TEST_F(MetricRetryTest, AnOutageIsKeptThenDrainedOncePerMetricInTsOrder) {
    g_cloud.answer = outageAnswer;
    g_linkDown = 1;
    const auto period = [&](uint64_t p) {
        g_wall = kWallStart + p * kPeriodMs;
        PERIOD_METRICS_T metrics = MetricRetryTest::metrics(3, "net/wan");
        snprintf(metrics[2].metricName, sizeof metrics[2].metricName, "%s", p == 0 ? "bad" : "auth");
        return metrics;
    };
    EXPECT_EQ(upload_period_metrics(&upload, period(0)), 0U);
    EXPECT_EQ(uploadedBodies().size(), 3U);
    EXPECT_EQ(upload_period_metrics(&upload, period(1)), 0U);
    // A failed probe, the oldest of each series (the kept ones, and "auth", new): the rest
    // of the new period is kept untried.
    EXPECT_EQ(uploadedBodies().size(), 7U);
    EXPECT_EQ(metric_backlog_size(&upload.retry.backlog), 6U);
    EXPECT_FALSE(upload_backlog_round(&upload));  // still down

    g_linkDown = 0;
    (void)upload_period_metrics(&upload, period(2));
    // A round carries one metric per series: a few rounds drain the backlog, and a round
    // that reports progress without resolving anything must fail here, not hang.
    for (int round = 0; round < 20 && metric_backlog_size(&upload.retry.backlog) != 0; ++round) {
        ASSERT_TRUE(upload_backlog_round(&upload));
    }
    ASSERT_EQ(metric_backlog_size(&upload.retry.backlog), 0U);

    std::map<std::string, std::vector<double>> tsPerSeries;  // accepted ones only
    size_t refusedBad = 0;
    size_t refusedAuth = 0;
    for (size_t i = 0; i < g_cloud.bodies.size(); ++i) {
        const CJsonPtr json(cJSON_Parse(g_cloud.bodies[i].c_str()));
        const cJSON* const record = cJSON_GetArrayItem(json.get(), 0);
        const std::string name = cJSON_GetObjectItem(record, "metricName")->valuestring;
        const double ts = cJSON_GetObjectItem(record, "ts")->valuedouble;
        refusedBad += g_cloud.answers[i] == 400 ? 1 : 0;
        refusedAuth += g_cloud.answers[i] == 401 ? 1 : 0;
        if (g_cloud.answers[i] == 0) tsPerSeries[name].push_back(ts);
    }
    const std::vector<double> all = {double(kWallStart), double(kWallStart + kPeriodMs),
                                     double(kWallStart + 2 * kPeriodMs)};
    // m1's 503 was retried; each series reached the cloud once per period, in ts order.
    EXPECT_EQ(tsPerSeries["m0"], all);
    EXPECT_EQ(tsPerSeries["m1"], all);
    EXPECT_EQ(refusedBad, 1U);  // refused once: never tried again
    EXPECT_EQ(refusedAuth, 4U);  // two periods, each refused twice around a fresh credential
    const BACKLOG_STATS_T stats = metric_backlog_stats(&upload.retry.backlog);
    EXPECT_EQ(stats.droppedRefused, 3U);
    // Each kept metric ended taken or refused; the last period's "auth" was refused before
    // it ever had to be kept.
    EXPECT_EQ(stats.kept, 6U);
    EXPECT_EQ(stats.uploaded + stats.droppedRefused, stats.kept + 1);
}

// A series the cloud keeps answering 503 is no down link: the other series of the next
// period go out in it, and only the poisoned one is kept.
TEST_F(MetricRetryTest, OnePoisonedSeriesKeepsOnlyItself) {
    g_cloud.answer = [](const std::string& body, size_t) {
        return body.find("\"m2\"") != std::string::npos ? 503 : 0;
    };
    EXPECT_EQ(upload_period_metrics(&upload, metrics(3)), 2U);
    g_wall += kPeriodMs;
    EXPECT_EQ(upload_period_metrics(&upload, metrics(3)), 2U);
    EXPECT_EQ(metric_backlog_stats(&upload.retry.backlog).kept, 2U);  // m2 of each period
}

// Each answer sorted once (as the upload reports it: 0 for any 2xx, else the status or -1):
// taken; 3xx (never followed) and 4xx refused for good; 401/403 tried once more with a fresh
// credential (the backlog refuses a second one); 429, server faults and no answer kept. A
// server refusing with 429/503 is given a doubling back-off; a link that gives no answer is
// probed soon.
TEST_F(MetricRetryTest, AnswersAreSortedAndTheBackOffDoublesWithinItsJitter) {
    using O = BacklogOutcome;
    const struct {
        int answer;
        BacklogOutcome outcome;
    } rows[] = {{0, O::kUploaded}, {301, O::kRefused}, {302, O::kRefused}, {304, O::kRefused},
                {400, O::kRefused}, {404, O::kRefused}, {401, O::kAuthFailed},
                {403, O::kAuthFailed}, {429, O::kRetry}, {500, O::kRetry}, {503, O::kRetry},
                {-1, O::kRetry}};
    for (const auto& row : rows) {
        EXPECT_EQ(metric_retry_outcome(row.answer), row.outcome) << row.answer;
    }
    const struct {
        bool overloaded;
        uint64_t delay;
    } delays[] = {{true, 15000}, {true, 30000}, {true, 60000}, {true, 120000}, {true, 240000},
                  {true, 300000}, {true, 300000}, {false, 5000}, {false, 5000}, {true, 15000}};
    for (const auto& row : delays) {
        metric_retry_back_off(&upload.retry, 1000, row.overloaded);
        EXPECT_GE(upload.retry.nextRetryMonoMs, 1000 + row.delay * 4 / 5) << row.delay;
        EXPECT_LE(upload.retry.nextRetryMonoMs, 1000 + row.delay * 6 / 5) << row.delay;
        EXPECT_FALSE(upload.retry.linkUp);
    }
    metric_retry_link_works(&upload.retry);
    metric_retry_back_off(&upload.retry, 0, true);
    EXPECT_LE(upload.retry.nextRetryMonoMs, 18000U);  // from the first delay again
}

}  // namespace
