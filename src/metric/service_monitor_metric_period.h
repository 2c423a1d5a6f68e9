// The period: the manager thread merges queued samples into the cache and keeps the
// period clock; at each period's end it takes the cache's metrics out, logs the period's
// summary and hands the metrics to the upload.
#ifndef SERVICE_MONITOR_METRIC_PERIOD_H
#define SERVICE_MONITOR_METRIC_PERIOD_H

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common.h"
#include "message_queue.h"
#include "service_monitor_metric_ingest.h"
#include "service_monitor_metric_data_cache.h"
#include "service_monitor_metric_self.h"
#include "service_monitor_metric_upload.h"
#include "service_monitor_notify.h"

// A change of the wall clock against the monotonic clock beyond this is a step: the
// period's window moves with it at once.
constexpr int64_t kClockStepMs = 1000;

struct METRIC_PERIOD_T {
    METRIC_PERIOD_T(METRIC_UPLOAD_T* next, METRIC_INGEST_T* samples)
        : upload(next), ingest(samples) {}

    // The window ts is checked against, in wall-clock ms. The period itself runs on the
    // monotonic clock (periodEndMonoMs), so a wall-clock step moves the window but neither
    // ends nor stretches the period.
    uint64_t periodStartMs = 0;
    uint64_t periodEndMs = 0;
    uint64_t periodMs = 0;
    uint64_t periodEndMonoMs = 0;
    int64_t wallMinusMonoMs = 0;  // at the last anchoring of the window
    std::mutex mutex;  // guards the five fields above
    CLOCK_MS_FUNC_T wallClockMs = nullptr;  // get_time_ms unless a test injects one
    CLOCK_MS_FUNC_T monoClockMs = nullptr;  // CLOCK_MONOTONIC unless a test injects one
    METRIC_DATA_CACHE_T* cache = nullptr;  // owned
    // The cache has no lock of its own: the manager thread's insert, walk and clear and the
    // disable path's clear (main thread) all hold this one. Lock order: never together with
    // the queue mutex or the period mutex.
    std::mutex cacheLock;
    METRIC_UPLOAD_T* const upload;  // where ended periods go, not owned
    METRIC_INGEST_T* const ingest;  // where samples come from (its queue), not owned
    // Shutdown of the manager thread: stopRequested ends its loop, then the thread is joined.
    std::atomic<bool> stopRequested{false};
    JOINABLE_THREAD_T thread;
};

// Sets up the cache. 0, or -1.
[[nodiscard]] int metric_period_init(METRIC_PERIOD_T* period);
// Drops what is queued and releases the cache (the thread must have ended).
void metric_period_deinit(METRIC_PERIOD_T* period);
// Sets both clocks to the real ones where left null.
void metric_period_use_defaults(METRIC_PERIOD_T* period);
// Starts a period now: the window from the wall clock, the end on the monotonic clock.
void metric_period_anchor(METRIC_PERIOD_T* period);
// Starts the manager thread. 0, or -1.
[[nodiscard]] int metric_period_thread_start(METRIC_PERIOD_T* period);
// Asks the manager thread to end, without waiting for it.
void metric_period_request_stop(METRIC_PERIOD_T* period);
// Asks the manager thread to end and waits until it has (within one queue wait).
void metric_period_thread_stop(METRIC_PERIOD_T* period);

// The window ts is checked against, in wall-clock ms.
void metric_period_window(METRIC_PERIOD_T* period, uint64_t* startMs, uint64_t* endMs);
// Merges a popped chain of batches into the cache (batches of an older enableEpoch are
// dropped and counted). The bytes the chain held.
size_t metric_merge_chain(METRIC_PERIOD_T* period, MSG_NODE_T* first);
// Drops everything the period gathered, cached or queued, and counts it as dropped by a
// disable; batches taken before this call are dropped when they come to be merged.
void metric_period_drop_samples(METRIC_PERIOD_T* period);
// Result of metric_period_tick.
enum class PeriodTick { kRunning, kWindowMoved, kEnded };
// Moves the period on: a new one when the current one is over on the monotonic clock, or
// the window moved by a wall-clock step. Called by the manager thread once per batch.
[[nodiscard]] PeriodTick metric_period_tick(METRIC_PERIOD_T* period);
// Ends the period: takes the cache's metrics out, logs the period's summary line and
// hands the metrics to the upload (an empty period is not handed over).
void metric_period_end(METRIC_PERIOD_T* period);
// Takes the cache's metrics out (the cache is left empty).
[[nodiscard]] PERIOD_METRICS_T metric_period_take(METRIC_PERIOD_T* period);
// At shutdown, once the thread has ended: merges what is still queued and takes the
// current period's metrics out.
[[nodiscard]] PERIOD_METRICS_T metric_period_take_rest(METRIC_PERIOD_T* period);
// Reads the counts of the period that ends and resets them: its samples and requests, the
// queue's peak, the uploads finished and the backlog's counts since the previous call.
[[nodiscard]] METRIC_PERIOD_TALLY_T metric_period_tally(METRIC_PERIOD_T* period);
// The summary line of a tally: samples accepted, samples dropped by a disable, requests
// refused per reply code, the queue's peak, the uploads, then the backlog's counts.
void metric_period_summary_line(const METRIC_PERIOD_TALLY_T& tally, char* line, size_t size);
// The summary line of the period that ends (and resets its counts).
void metric_period_summary(METRIC_PERIOD_T* period, char* line, size_t size);

#endif
