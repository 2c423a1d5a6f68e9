// The upload of ended periods: the upload thread takes each period handed over by the
// manager thread and uploads its metrics, one body per metric, several at a time, so a
// slow cloud never holds the next period back. A metric whose upload fails for a reason
// that may pass goes to the backlog (the retry room) and is uploaded later, oldest first,
// before newer ones of its series.
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

#include "common.h"
#include "service_monitor_metric_pre_task.h"
#include "service_monitor_metric_retry.h"

// Periods waiting for the upload work behind the one being uploaded; a further one moves
// the oldest waiting period to the backlog, so a cloud that hangs cannot make memory grow.
constexpr size_t kMaxWaitingPeriods = 2;

// The upload work: periods handed over at their end, uploaded in order on the upload
// thread, and the counts of the uploads finished since the last period summary.
struct METRIC_UPLOAD_T {
    explicit METRIC_UPLOAD_T(METRIC_REGISTRATION_T* owner) : registration(owner), retry(owner) {}

    METRIC_REGISTRATION_T* const registration;  // the SDK handle and the names, not owned
    CLOCK_MS_FUNC_T wallClockMs = nullptr;      // the bodies' ts: get_time_ms unless injected
    CLOCK_MS_FUNC_T monoClockMs = nullptr;      // the retries' back-off: monotonic unless injected
    UPLOAD_MANY_FUNC_T uploadMany = nullptr;    // CloudSdkPostMetricDataMany unless injected
    // Nothing is uploaded while this is 0 (the manager's switch); null: always on.
    const std::atomic<uint32_t>* enabled = nullptr;
    // The backlog's folder: null for metric_backlog_default_dir(), "" for memory only.
    const char* backlogDir = nullptr;
    METRIC_RETRY_T retry;  // the backlog and the back-off (upload thread only)
    std::atomic<uint64_t> uploadsAccepted{0};
    std::atomic<uint64_t> uploadsFailed{0};  // attempts that failed, kept or refused
    // The ts of the last period handed over: each period's is later, whatever the wall
    // clock does, so every series reaches the cloud in increasing ts. The manager thread's
    // (and, at start and stop, its owner's).
    uint64_t lastTs = 0;
    std::mutex lock;  // guards periods; never held with another lock of the manager
    std::condition_variable cond;
    std::deque<PERIOD_METRICS_T> periods;
    // Ends the upload thread's loop and the rounds of the period it uploads.
    std::atomic<bool> stopRequested{false};
    JOINABLE_THREAD_T thread;
};

// Sets the clocks and the cloud call to the real ones where left null and opens the
// backlog (which reads what a previous run kept).
void metric_upload_use_defaults(METRIC_UPLOAD_T* upload);
// The attempts finished since the last call and the backlog's counts (the "since" ones
// reset as they are read). Any thread: the period's end reads them through this call.
[[nodiscard]] METRIC_UPLOAD_COUNTS_T metric_upload_counts(METRIC_UPLOAD_T* upload);
// Closes the backlog (the thread must have ended).
void metric_upload_deinit(METRIC_UPLOAD_T* upload);
// Starts the upload thread. 0, or -1.
[[nodiscard]] int metric_upload_thread_start(METRIC_UPLOAD_T* upload);
// Asks the upload thread to end, without waiting for it.
void metric_upload_request_stop(METRIC_UPLOAD_T* upload);
// Asks the upload thread to end and waits until it has. Returns once the round in flight
// returns (abort the SDK handle first).
void metric_upload_thread_stop(METRIC_UPLOAD_T* upload);
// After the thread has ended: keeps the current period's metrics, the periods still
// waiting and what the thread did not get through in the backlog, as one record.
void metric_upload_keep_rest(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T current);
// The ts of a period handed over now: the wall clock, but never earlier than the previous
// period's ts plus 1 ms (a wall clock stepped back leaves the series in order).
[[nodiscard]] uint64_t metric_upload_next_ts(METRIC_UPLOAD_T* upload);
// Queues an ended period for the upload thread, stamped by metric_upload_next_ts; the
// upload thread keeps the oldest waiting periods past the bound. Never writes the backlog.
void metric_upload_hand_over(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T metrics);
// A period's metrics join the outbox, each behind what waits of its series, and the outbox
// is sent in rounds, oldest first, each body logged as UploadMetircDataToCloud logs it; what
// fails for a reason that may pass, or a down link leaves untried, is kept. The number the
// cloud took.
size_t upload_period_metrics(METRIC_UPLOAD_T* upload, const PERIOD_METRICS_T& metrics);
// One round of the outbox (oldest first), then what waits is kept. True when the cloud took
// or refused any.
bool upload_backlog_round(METRIC_UPLOAD_T* upload);
// Uploads one aggregated metric (iter_metric_data callback shape, userData the upload
// record). 0 when the cloud accepted it, else -1.
int UploadMetircDataToCloud(const char* moduleName, const char* metricName, uint32_t collectRule,
                            void* userData, double value) noexcept;

#endif
