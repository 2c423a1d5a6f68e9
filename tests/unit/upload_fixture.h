// The upload room's test fixture: a cloud stand-in in place of CloudSdkPostMetricDataMany,
// and an upload record with injected clocks and its backlog in memory.
#ifndef TESTS_UPLOAD_FIXTURE_H
#define TESTS_UPLOAD_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "metric_clocks.h"
#include "service_monitor_metric_upload.h"
#include "zeb-sdk.h"

using namespace std::chrono_literals;

// The cloud as the upload thread sees it: records every body, answers each as answer()
// says (by default it takes every one; a test of refusals sets its own), and while held
// answers only when released or aborted (each wait bounded).
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
inline FakeCloud g_cloud;

inline int takesEvery(const std::string&, size_t) { return 0; }
inline int everySeventhRefused(const std::string&, size_t n) { return n % 7 == 0 ? 400 : 0; }

inline size_t fakeUploadMany(CloudSdkClient*, const char* const* bodies, size_t count, int, int* results) {
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

inline void holdCloud(bool held) {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    g_cloud.held = held;
    g_cloud.changed.notify_all();
}

inline std::vector<std::string> uploadedBodies() {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    return g_cloud.bodies;
}

inline size_t uploadCalls() {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    return g_cloud.calls;
}

inline void resetCloud() {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    g_cloud.held = g_cloud.aborted = false;
    g_cloud.calls = 0;
    g_cloud.bodies.clear();
    g_cloud.answers.clear();
    g_cloud.answer = takesEvery;
}

inline void fakeAbort(CloudSdkClient*) {
    const std::lock_guard<std::mutex> lock(g_cloud.lock);
    g_cloud.aborted = true;
    g_cloud.changed.notify_all();
}

template <typename Probe>
inline bool eventually(Probe probe) {
    for (int i = 0; i < 1000 && !probe(); ++i) std::this_thread::sleep_for(10ms);
    return probe();
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

#endif
