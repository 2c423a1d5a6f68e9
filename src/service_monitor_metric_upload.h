// The upload of ended periods: the upload thread takes each period handed over by the
// manager thread and uploads its metrics, one body per metric, several at a time, so a
// slow cloud never holds the next period back.
#ifndef SERVICE_MONITOR_METRIC_UPLOAD_H
#define SERVICE_MONITOR_METRIC_UPLOAD_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "service_monitor_metric_data_cache.h"
#include "service_monitor_metric_pre_task.h"

// Periods waiting for the upload work behind the one being uploaded; a further one drops
// the oldest waiting period, so a cloud that hangs cannot make memory grow.
constexpr size_t kMaxWaitingPeriods = 2;

// One aggregated metric taken out of the cache at a period's end. The upload works on
// this copy, so the cache lock is never held across a network request.
struct PERIOD_METRIC_T {
    char moduleName[kModuleNameSize];
    char metricName[kMetricNameSize];
    uint32_t collectRule;
    double value;
};
using PERIOD_METRICS_T = std::vector<PERIOD_METRIC_T>;

using CLOCK_MS_FUNC_T = uint64_t (*)();
// CloudSdkPostMetricDataMany's shape: results[i] 0, an HTTP status or -1; the number accepted.
using UPLOAD_MANY_FUNC_T = size_t (*)(CloudSdkClient* client, const char* const* bodies,
                                      size_t count, int timeoutSeconds, int* results);

// The upload work: periods handed over at their end, uploaded in order on the upload
// thread, and the counts of the uploads finished since the last period summary.
struct METRIC_UPLOAD_T {
    explicit METRIC_UPLOAD_T(METRIC_REGISTRATION_T* owner) : registration(owner) {}

    METRIC_REGISTRATION_T* const registration;  // the SDK handle and the names, not owned
    CLOCK_MS_FUNC_T wallClockMs = nullptr;      // the bodies' ts: get_time_ms unless injected
    UPLOAD_MANY_FUNC_T uploadMany = nullptr;    // CloudSdkPostMetricDataMany unless injected
    std::atomic<uint64_t> uploadsAccepted{0};
    std::atomic<uint64_t> uploadsFailed{0};
    std::mutex lock;  // guards periods; never held with another lock of the manager
    std::condition_variable cond;
    std::deque<PERIOD_METRICS_T> periods;
    // Ends the upload thread's loop and the rounds of the period it uploads.
    std::atomic<bool> stopRequested{false};
    std::mutex threadStateLock;  // guards thread and threadJoinable
    pthread_t thread{};
    bool threadJoinable = false;
};

// Sets the clock and the cloud call to the real ones where left null.
void metric_upload_use_defaults(METRIC_UPLOAD_T* upload);
// Starts the upload thread. 0, or -1.
[[nodiscard]] int metric_upload_thread_start(METRIC_UPLOAD_T* upload);
// Asks the upload thread to end, without waiting for it.
void metric_upload_request_stop(METRIC_UPLOAD_T* upload);
// Asks the upload thread to end and waits until it has; the periods still waiting are
// dropped. Returns once the round in flight returns (abort the SDK handle first).
void metric_upload_thread_stop(METRIC_UPLOAD_T* upload);
// Queues an ended period for the upload thread; past the backlog bound the oldest waiting
// period is dropped and its metrics counted as failed uploads.
void metric_upload_hand_over(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T metrics);
// Uploads a period's metrics, several at a time, each logged as UploadMetircDataToCloud
// logs it, and counts them. The number accepted.
size_t upload_period_metrics(METRIC_UPLOAD_T* upload, const PERIOD_METRICS_T& metrics);
// Uploads one aggregated metric (iter_metric_data callback shape, userData the upload
// record). 0 when the cloud accepted it, else -1.
int UploadMetircDataToCloud(const char* moduleName, const char* metricName, uint32_t collectRule,
                            void* userData, double value) noexcept;

#endif
