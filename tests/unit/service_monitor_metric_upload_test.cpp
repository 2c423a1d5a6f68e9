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
#include "service_monitor_metric_manager.h"
#include "zeb-sdk/zeb-sdk.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t kWallStart = 1700000000000ULL;
constexpr uint64_t kPeriodMs = 60000;

std::atomic<uint64_t> g_wall{kWallStart};
std::atomic<uint64_t> g_mono{1000};
uint64_t wallNow() { return g_wall.load(); }
uint64_t monoNow() { return g_mono.load(); }

// The cloud as the upload thread sees it: records every body, refuses every seventh, and
// while held answers only when released or aborted (each wait bounded).
struct FakeCloud {
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    bool aborted = false;
    size_t calls = 0;
    std::vector<std::string> bodies;
};
FakeCloud g_cloud;

size_t fakeUploadMany(CloudSdkClient*, const char* const* bodies, size_t count, int, int* results) {
    std::unique_lock<std::mutex> lock(g_cloud.lock);
    ++g_cloud.calls;
    g_cloud.changed.notify_all();
    g_cloud.changed.wait_for(lock, 10s, [] { return !g_cloud.held || g_cloud.aborted; });
    size_t accepted = 0;
    for (size_t i = 0; i < count; ++i) {
        g_cloud.bodies.emplace_back(bodies[i]);
        results[i] = g_cloud.aborted || g_cloud.bodies.size() % 7 == 0 ? -1 : 0;
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
    metric_data_manager_stop(m);  // returns once the hanging upload is abandoned
    EXPECT_TRUE(g_cloud.aborted);  // the upload thread has ended
    EXPECT_EQ(m->upload.uploadsFailed.load(), 1U);
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
                       "bytes, uploads accepted 859 failed 143");
}

class MetricUploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetCloud();
        g_wall = kWallStart;
        registration.sdkHandle = CloudSdkInitIF("id", "secret", "", 0);
        upload.wallClockMs = wallNow;
        upload.uploadMany = fakeUploadMany;
    }
    void TearDown() override {
        metric_upload_thread_stop(&upload);
        metric_registration_deinit(&registration);
    }
    static PERIOD_METRICS_T metrics(size_t count) {
        PERIOD_METRIC_T metric{"svc/fn", "m", COLLECT_RULE_UPDATE, 1};
        return PERIOD_METRICS_T(count, metric);
    }

    METRIC_REGISTRATION_T registration;
    METRIC_UPLOAD_T upload{&registration};
};

// Four periods behind a hanging upload: two wait, the oldest waiting one is dropped and
// its metrics counted as failed; the rest are uploaded once the cloud answers.
TEST_F(MetricUploadTest, AtMostTwoPeriodsWaitBehindAHangingUpload) {
    ASSERT_EQ(metric_upload_thread_start(&upload), 0);
    holdCloud(true);
    metric_upload_hand_over(&upload, metrics(1));
    ASSERT_TRUE(eventually([&] { return uploadCalls() == 1; }));
    for (size_t size : {2, 3, 4}) metric_upload_hand_over(&upload, metrics(size));
    EXPECT_EQ(upload.uploadsFailed.load(), 2U);
    holdCloud(false);
    ASSERT_TRUE(eventually([&] {
        return upload.uploadsAccepted.load() + upload.uploadsFailed.load() == 10;
    }));
    EXPECT_EQ(uploadCalls(), 3U);
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
