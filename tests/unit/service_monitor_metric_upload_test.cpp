#include "service_monitor_metric_upload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "raii.h"
#include "metric_clocks.h"
#include "service_monitor_metric_manager.h"
#include "zeb-sdk/zeb-sdk.h"

namespace {

using namespace std::chrono_literals;

// The cloud as the upload thread sees it: records every body, answers each as answer()
// says (by default every seventh refused with 400), and while held answers only when
// released or aborted (each wait bounded).
struct FakeCloud {
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    bool aborted = false;
    size_t calls = 0;
    std::vector<std::string> bodies;
    std::vector<int> answers;  // what each body was answered
    int (*answer)(const std::string& body, size_t n) = nullptr;
};
FakeCloud g_cloud;

int everySeventhRefused(const std::string&, size_t n) { return n % 7 == 0 ? 400 : 0; }

size_t fakeUploadMany(CloudSdkClient*, const char* const* bodies, size_t count, int, int* results) {
    std::unique_lock<std::mutex> lock(g_cloud.lock);
    ++g_cloud.calls;
    g_cloud.changed.notify_all();
    g_cloud.changed.wait_for(lock, 10s, [] { return !g_cloud.held || g_cloud.aborted; });
    size_t accepted = 0;
    for (size_t i = 0; i < count; ++i) {
        g_cloud.bodies.emplace_back(bodies[i]);
        results[i] = g_cloud.aborted ? -1 : g_cloud.answer(bodies[i], g_cloud.bodies.size());
        g_cloud.answers.push_back(results[i]);
        accepted += results[i] == 0 ? 1 : 0;
    }
    return accepted;
}

void holdCloud(bool held) {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    g_cloud.held = held;
    g_cloud.changed.notify_all();
}

std::vector<std::string> uploadedBodies() {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    return g_cloud.bodies;
}

size_t uploadCalls() {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    return g_cloud.calls;
}

void resetCloud() {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    g_cloud.held = g_cloud.aborted = false;
    g_cloud.calls = 0;
    g_cloud.bodies.clear();
    g_cloud.answers.clear();
    g_cloud.answer = everySeventhRefused;
}

void fakeAbort(CloudSdkClient*) {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    g_cloud.aborted = true;
    g_cloud.changed.notify_all();
}

template <typename Probe>
bool eventually(Probe probe) {
    for (int i = 0; i < 1000 && !probe(); ++i) std::this_thread::sleep_for(10ms);
    return probe();
}

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
    EXPECT_EQ(metric_backlog_size(&m->upload.backlog), 3U);
}

TEST_F(MetricManagerTest, EveryMetricOfALargePeriodIsUploadedOnceAndCounted) {
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

class MetricUploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetCloud();
        g_wall = kWallStart;
        g_mono = 1000;
        registration.sdkHandle = CloudSdkInitIF("id", "secret", "", 0);
        registration.dependReady = 1;
        upload.wallClockMs = wallNow;
        upload.monoClockMs = monoNow;
        upload.uploadMany = fakeUploadMany;
        upload.backlogDir = "";
        metric_upload_use_defaults(&upload);
    }
    void TearDown() override {
        metric_upload_thread_stop(&upload);
        metric_upload_deinit(&upload);
        metric_registration_deinit(&registration);
    }
    static PERIOD_METRICS_T metrics(size_t count, const char* module = "svc/fn") {
        PERIOD_METRICS_T period(count);
        for (size_t i = 0; i < count; ++i) {
            snprintf(period[i].moduleName, sizeof period[i].moduleName, "%s", module);
            snprintf(period[i].metricName, sizeof period[i].metricName, "m%zu", i);
            period[i].ts = g_wall.load();
        }
        return period;
    }

    METRIC_REGISTRATION_T registration;
    METRIC_UPLOAD_T upload{&registration};
};

// Four periods behind a hanging upload: two wait, the oldest waiting one goes to the
// backlog; everything is uploaded once the cloud answers.
TEST_F(MetricUploadTest, AtMostTwoPeriodsWaitBehindAHangingUpload) {
    ASSERT_EQ(metric_upload_thread_start(&upload), 0);
    holdCloud(true);
    metric_upload_hand_over(&upload, metrics(1, "a/a"));
    ASSERT_TRUE(eventually([&] { return uploadCalls() == 1; }));
    for (size_t size : {2, 3, 4}) metric_upload_hand_over(&upload, metrics(size, "b/b"));
    EXPECT_EQ(metric_backlog_size(&upload.backlog), 2U);
    holdCloud(false);
    ASSERT_TRUE(eventually([&] {
        return upload.uploadsAccepted.load() + upload.uploadsFailed.load() == 10;
    }));
    EXPECT_EQ(metric_backlog_size(&upload.backlog), 0U);
}

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

TEST_F(MetricUploadTest, AnOutageIsKeptThenDrainedOncePerMetricInTsOrder) {
    g_cloud.answer = outageAnswer;
    g_linkDown = 1;
    const auto period = [&](uint64_t p) {
        g_wall = kWallStart + p * kPeriodMs;
        PERIOD_METRICS_T metrics = MetricUploadTest::metrics(3, "net/wan");
        snprintf(metrics[2].metricName, sizeof metrics[2].metricName, "%s", p == 0 ? "bad" : "auth");
        return metrics;
    };
    EXPECT_EQ(upload_period_metrics(&upload, period(0)), 0U);
    EXPECT_EQ(uploadedBodies().size(), 3U);
    EXPECT_EQ(upload_period_metrics(&upload, period(1)), 0U);
    // A failed probe of the backlog: the new period is kept untried.
    EXPECT_EQ(uploadedBodies().size(), 6U);
    EXPECT_EQ(metric_backlog_size(&upload.backlog), 6U);
    EXPECT_FALSE(upload_backlog_round(&upload));  // still down

    g_linkDown = 0;
    (void)upload_period_metrics(&upload, period(2));
    while (metric_backlog_size(&upload.backlog) != 0) ASSERT_TRUE(upload_backlog_round(&upload));

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
    const BACKLOG_STATS_T stats = metric_backlog_stats(&upload.backlog);
    EXPECT_EQ(stats.droppedRefused, 3U);
    EXPECT_EQ(stats.uploaded + stats.droppedRefused, stats.kept);
}

TEST_F(MetricUploadTest, FixedNameWrapperUploadsOneMetricAsItsBody) {
    snprintf(registration.names.groupId, sizeof registration.names.groupId, "g-1");
    snprintf(registration.names.instanceId, sizeof registration.names.instanceId, "i-1");
    EXPECT_EQ(UploadMetircDataToCloud("svc/fn/rest", "cpu", COLLECT_RULE_AVG, &upload, 2.5), 0);
    EXPECT_EQ(uploadedBodies(), std::vector<std::string>{
        R"([{"productCode":"NODE_HUB","metricName":"cpu","groupId":"g-1","instanceId":"i-1",)"
        R"("dimensions":{"region":"cn-hangzhou","serviceName":"svc","functionName":"fn"},)"
        R"("value":2.5,"ts":1700000000000}])"});
    CloudSdkDeinitIF(registration.sdkHandle.exchange(nullptr));
    EXPECT_EQ(UploadMetircDataToCloud("svc", "cpu", COLLECT_RULE_AVG, &upload, 1), -1);
}

}  // namespace
