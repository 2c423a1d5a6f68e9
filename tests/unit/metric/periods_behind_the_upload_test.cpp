// Periods end while the uploads of earlier ones run: the manager thread hands each ended
// period over at once and never waits or writes the backlog; the upload thread uploads,
// keeps what fails and what waits past the bound; shutdown keeps the rest. These cases run
// both threads (and under ThreadSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "raii.h"
#include "service_monitor_metric_manager.h"
#include "service_monitor_metric_upload.h"
#include "upload_fixture.h"

namespace {
class MetricManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_wall = kWallStart;
        g_mono = 1000;
        resetCloud();
        m->period.periodMs = kPeriodMs;
        m->period.wallClockMs = wallNow;
        m->period.monoClockMs = monoNow;
        m->upload.uploadMany = fakeUploadMany;
        m->upload.backlogDir = "";
        m->registration.abortTransfers = fakeAbort;
        m->enable = 1;
        m->registration.dependReady = 1;
    }
    void TearDown() override { metric_data_manager_deinit(m); }

    void start() {
        ASSERT_EQ(metric_data_manager_start(m), 0);
        m->registration.sdkHandle = CloudSdkInitIF("id", "secret", "", 0);
    }
    int post(const std::string& module, int metrics, double value = 1) {
        std::string params;
        for (int i = 0; i < metrics; ++i) {
            params += (i ? "," : "") + std::string(R"({"metricName":"metric)") +
                      std::to_string(i) + R"(","value":)" + std::to_string(value) +
                      R"(,"collectRule":"accumulate"})";
        }
        const std::string text = R"({"ts":)" + std::to_string(g_wall.load()) +
                                 R"(,"moduleName":")" + module + R"(","params":[)" + params + "]}";
        char reply[kMetricReplyBufSize];
        (void)post_metric_data(m, text.c_str(), reply);
        const CJsonPtr json(cJSON_Parse(reply));
        return cJSON_GetObjectItem(json.get(), "code")->valueint;
    }
    // Both clocks move on past the period's end; the manager thread notices it.
    void endPeriod() {
        g_wall += kPeriodMs + 1;
        g_mono += kPeriodMs + 1;
        const uint64_t expectedEnd = g_mono + kPeriodMs;
        ASSERT_TRUE(eventually([&] {
            const std::lock_guard<std::mutex> lock(m->period.mutex);
            return m->period.periodEndMonoMs == expectedEnd;
        }));
    }

    METRIC_DATA_MANAGER_T* m = new METRIC_DATA_MANAGER_T();
};

TEST_F(MetricManagerTest, NextPeriodsStartWhileAnUploadHangsAndShutdownAbortsIt) {
    start();
    holdCloud(true);
    ASSERT_EQ(post("svc/a", 3), 0);
    endPeriod();
    ASSERT_TRUE(eventually([&] { return uploadCalls() == 1; }));  // hanging now
    ASSERT_EQ(post("svc/b", 1), 0);  // stamped in the next period: taken
    endPeriod();
    endPeriod();  // two empty periods take no backlog slot from the waiting one
    endPeriod();
    holdCloud(false);
    ASSERT_TRUE(eventually([&] {
        return m->upload.uploadsAccepted.load() + m->upload.uploadsFailed.load() == 4;
    }));
    EXPECT_EQ(m->upload.uploadsFailed.load(), 0U);

    holdCloud(true);
    ASSERT_EQ(post("svc/c", 1), 0);
    endPeriod();
    ASSERT_TRUE(eventually([&] { return uploadCalls() == 3; }));
    ASSERT_EQ(post("svc/d", 2), 0);  // the current period at shutdown
    metric_data_manager_stop(m);  // returns once the hanging upload is abandoned
    EXPECT_TRUE(g_cloud.aborted);  // the upload thread has ended
    EXPECT_EQ(m->upload.uploadsFailed.load(), 1U);
    // Kept: the abandoned upload and the current period's two metrics.
    EXPECT_EQ(metric_backlog_size(&m->upload.retry.backlog), 3U);
}

// Refusals among the answers: counted as failed attempts and dropped, never retried.
TEST_F(MetricManagerTest, EveryMetricOfALargePeriodIsUploadedOnceAndCounted) {
    g_cloud.answer = everySeventhRefused;
    start();
    for (int module = 0; module < 100; ++module) {
        ASSERT_EQ(post("svc" + std::to_string(module) + "/fn", 10, module), 0);
        ASSERT_EQ(post("svc" + std::to_string(module) + "/fn", 10, 0.5), 0);
    }
    // Beyond what 15 printed digits carry: a held sum, and the largest double posted as is.
    ASSERT_EQ(post("held", 1, 1e308), 0);
    ASSERT_EQ(post("held", 1, 1e308), 0);
    ASSERT_EQ(post("max", 1, DBL_MAX), 0);
    endPeriod();
    ASSERT_TRUE(eventually([&] {
        return m->upload.uploadsAccepted.load() + m->upload.uploadsFailed.load() == 1002;
    }));
    std::map<std::string, double> uploaded;
    for (const std::string& body : uploadedBodies()) {
        // Strictly read, as the service reads it: no value overflows to infinity.
        const size_t at = body.find("\"value\":");
        ASSERT_NE(at, std::string::npos) << body;
        errno = 0;
        EXPECT_TRUE(std::isfinite(strtod(body.c_str() + at + 8, nullptr)) && errno == 0) << body;
        const CJsonPtr json(cJSON_Parse(body.c_str()));
        ASSERT_TRUE(json) << body;
        const cJSON* const record = cJSON_GetArrayItem(json.get(), 0);
        const std::string key =
            std::string(cJSON_GetObjectItem(cJSON_GetObjectItem(record, "dimensions"),
                                            "serviceName")->valuestring) +
            "." + cJSON_GetObjectItem(record, "metricName")->valuestring;
        EXPECT_TRUE(uploaded.emplace(key, cJSON_GetObjectItem(record, "value")->valuedouble).second)
            << key;
    }
    ASSERT_EQ(uploaded.size(), 1002U);
    EXPECT_DOUBLE_EQ(uploaded["svc42.metric7"], 42.5);
    EXPECT_EQ(uploaded["held.metric0"], kMetricValueMax);
    EXPECT_EQ(uploaded["max.metric0"], kMetricValueMax);
    char line[384];
    metric_period_summary(&m->period, line, sizeof line);
    EXPECT_STREQ(line, "period summary: samples accepted 0, dropped by disable 0, requests "
                       "refused 100000:0 100001:0 100002:0 110100:0 110101:0, queue peak 0 "
                       "bytes, uploads accepted 859 failed 143, backlog 0 metrics 0 bytes, kept 0 "
                       "retried 0 uploaded 0, dropped full 0 age 0 refused 143 instance 0, "
                       "records cut 0");
}

// The first body of a test answered 503, every other one taken.
int firstFails(const std::string&, size_t n) { return n == 1 ? 503 : 0; }

// Four periods behind a hanging upload: two wait, the oldest waiting one goes to the
// backlog (kept by the upload thread, the only one that writes it); everything is uploaded
// once the cloud answers, each series in ts order although the hanging period's failure is
// kept after the newer period pushed out.
TEST_F(MetricUploadTest, AtMostTwoPeriodsWaitBehindAHangingUpload) {
    g_cloud.answer = firstFails;
    ASSERT_EQ(metric_upload_thread_start(&upload), 0);
    holdCloud(true);
    metric_upload_hand_over(&upload, metrics(1));
    ASSERT_TRUE(eventually([&] { return uploadCalls() == 1; }));
    for (size_t size : {2, 3, 4}) {
        g_wall += kPeriodMs;
        metric_upload_hand_over(&upload, metrics(size));
    }
    holdCloud(false);
    ASSERT_TRUE(eventually([&] { return upload.uploadsAccepted.load() == 10; }));
    const BACKLOG_STATS_T stats = metric_backlog_stats(&upload.retry.backlog);
    EXPECT_EQ(stats.kept, 3U);  // the pushed-out period, then the hanging one's failure
    EXPECT_EQ(stats.uploaded, 3U);
    EXPECT_EQ(stats.metricsNow, 0U);
    std::map<std::string, std::vector<double>> ts;  // of the bodies taken
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    for (size_t i = 0; i < g_cloud.bodies.size(); ++i) {
        if (g_cloud.answers[i] != 0) continue;
        const CJsonPtr json(cJSON_Parse(g_cloud.bodies[i].c_str()));
        const cJSON* const record = cJSON_GetArrayItem(json.get(), 0);
        ts[cJSON_GetObjectItem(record, "metricName")->valuestring].push_back(
            cJSON_GetObjectItem(record, "ts")->valuedouble);
    }
    for (const auto& series : ts) {
        EXPECT_EQ(std::adjacent_find(series.second.begin(), series.second.end(),
                                     std::greater_equal<double>()),
                  series.second.end())
            << series.first;  // strictly increasing
    }
}

}  // namespace
