#include "service_monitor_metric_period.h"

#include <malloc.h>

#include <cinttypes>
#include <cstdio>
#include <new>
#include <utility>

#include "common.h"

namespace {

constexpr uint32_t kPopTimeoutMs = 1000;
// A drained backlog at least this large hands its memory back to the system.
constexpr size_t kTrimAfterBytes = 1U << 20;

// Caller holds the period mutex.
void _anchorLocked(METRIC_PERIOD_T* p, uint64_t wall, uint64_t mono) {
    p->periodStartMs = wall;
    p->periodEndMs = wall + p->periodMs;
    p->periodEndMonoMs = mono + p->periodMs;
    p->wallMinusMonoMs = static_cast<int64_t>(wall - mono);
}

void _mergeBatch(METRIC_PERIOD_T* period, const METRIC_BATCH_T& batch) {
    const std::lock_guard<std::mutex> lock(period->cacheLock);
    // Taken before a disable that has cleared the cache since: it belongs to the dropped
    // period, whether the module is off now or already on again.
    if (batch.enableEpoch != period->ingest->enableEpoch.load()) {
        period->ingest->counts.droppedByDisable.fetch_add(batch.messages.size(),
                                                          std::memory_order_relaxed);
        return;
    }
    for (const METRIC_MESSAGE_T& message : batch.messages) {
        if (insert_metric_data(period->cache, &message) != 0) {
            SM_LOG(3, "insert data failed!moduleName:%s,metricName:%s\n", message.moduleName,
                   message.metricName);
        }
    }
}

int _collectMetric(const char* moduleName, const char* metricName, uint32_t collectRule,
                   void* userData, double value) noexcept {
    PERIOD_METRIC_T metric {};
    snprintf(metric.moduleName, sizeof metric.moduleName, "%s", moduleName);
    snprintf(metric.metricName, sizeof metric.metricName, "%s", metricName);
    metric.collectRule = collectRule;
    metric.value = value;
    try {
        static_cast<PERIOD_METRICS_T*>(userData)->push_back(metric);
    } catch (const std::bad_alloc&) {
        SM_LOG(3, "insert data failed!moduleName:%s,metricName:%s\n", moduleName, metricName);
        return -1;
    }
    return 0;
}

// The self-metrics join the period that ends while monitoring is on and the registration
// found them asked for. The switch is checked again under the cache lock, which a disable
// takes to drop the period: once a disable has dropped it, none are added to it.
void _addSelfMetrics(METRIC_PERIOD_T* period, const METRIC_PERIOD_TALLY_T& tally) {
    const METRIC_UPLOAD_T* const upload = period->upload;
    const auto wanted = [upload] {
        return upload->registration->selfMetrics.load() &&
               (upload->enabled == nullptr || upload->enabled->load() != 0);
    };
    if (!wanted()) return;
    // Read before the lock: the lock is never held across a file read.
    const SELF_METRICS_T metrics = metric_self_list(tally, metric_self_rss_kb());
    const std::lock_guard<std::mutex> lock(period->cacheLock);
    if (wanted()) (void)metric_self_insert(period->cache, metrics);  // failures logged there
}

// Merges what is queued now.
void _mergeQueued(METRIC_PERIOD_T* period) {
    MSG_NODE_T* first = nullptr;
    if (popAllMessagesFromQueue(&period->ingest->metricDataQueue, 0, &first) == 0) {
        (void)metric_merge_chain(period, first);
    }
}

void* metricManagerThread(void* arg) noexcept {
    auto* period = static_cast<METRIC_PERIOD_T*>(arg);
    SM_LOG(0, "metricManagerThread start\n");
    bool trimDue = false;
    while (!period->stopRequested.load()) {
        MSG_NODE_T* first = nullptr;
        size_t drained = 0;
        MSG_QUEUE_T* const queue = &period->ingest->metricDataQueue;
        if (popAllMessagesFromQueue(queue, kPopTimeoutMs, &first) == 0) {
            drained = metric_merge_chain(period, first);
        }
        // Once a large backlog has drained, give its memory back.
        if (drained >= kTrimAfterBytes) {
            trimDue = true;
        } else if (trimDue) {
            (void)malloc_trim(0);
            trimDue = false;
        }
        if (metric_period_tick(period) != PeriodTick::kEnded) continue;
        // What was queued before the end was noticed belongs to the period that ended.
        _mergeQueued(period);
        metric_period_end(period);
    }
    return nullptr;
}

}  // namespace

int metric_period_init(METRIC_PERIOD_T* period) {
    period->cache = metric_data_cache_init();
    if (period->cache == nullptr) {
        SM_LOG(3, "init data cache failed\n");
        return -1;
    }
    return 0;
}

void metric_period_deinit(METRIC_PERIOD_T* period) {
    (void)metric_ingest_discard(period->ingest);
    metric_data_cache_deinit(period->cache);
    period->cache = nullptr;
}

void metric_period_use_defaults(METRIC_PERIOD_T* period) {
    if (period->wallClockMs == nullptr) period->wallClockMs = get_time_ms;
    if (period->monoClockMs == nullptr) period->monoClockMs = get_monotonic_ms;
}

void metric_period_window(METRIC_PERIOD_T* period, uint64_t* startMs, uint64_t* endMs) {
    const std::lock_guard<std::mutex> lock(period->mutex);
    *startMs = period->periodStartMs;
    *endMs = period->periodEndMs;
}

void metric_period_anchor(METRIC_PERIOD_T* period) {
    const uint64_t mono = period->monoClockMs();
    const uint64_t wall = period->wallClockMs();
    const std::lock_guard<std::mutex> lock(period->mutex);
    _anchorLocked(period, wall, mono);
}

int metric_period_thread_start(METRIC_PERIOD_T* period) {
    if (joinable_thread_start(&period->thread, metricManagerThread, period) != 0) {
        SM_LOG(3, "create metric manager thread error \n");
        return -1;
    }
    return 0;
}

void metric_period_request_stop(METRIC_PERIOD_T* period) { period->stopRequested = true; }

void metric_period_thread_stop(METRIC_PERIOD_T* period) {
    metric_period_request_stop(period);
    joinable_thread_join(&period->thread);
}

size_t metric_merge_chain(METRIC_PERIOD_T* period, MSG_NODE_T* first) {
    size_t bytes = 0;
    for (MSG_NODE_T* node = first; node != nullptr;) {
        MSG_NODE_T* const next = node->link.next;
        bytes += node->cost;
        const std::unique_ptr<METRIC_BATCH_T> batch = takeMetricBatch(node);
        _mergeBatch(period, *batch);
        node = next;
    }
    return bytes;
}

void metric_period_drop_samples(METRIC_PERIOD_T* period) {
    uint64_t dropped = 0;
    {
        // The manager thread checks the epoch under this lock before each batch it
        // merges, so nothing taken before this point reaches the cache afterwards.
        const std::lock_guard<std::mutex> lock(period->cacheLock);
        period->ingest->enableEpoch.fetch_add(1);
        dropped = metric_data_cache_samples(period->cache);
        clear_metric_data(period->cache);
    }
    dropped += metric_ingest_discard(period->ingest);  // samples not yet merged belong to the dropped period too
    period->ingest->counts.droppedByDisable.fetch_add(dropped, std::memory_order_relaxed);
}

PeriodTick metric_period_tick(METRIC_PERIOD_T* period) {
    const uint64_t mono = period->monoClockMs();
    const uint64_t wall = period->wallClockMs();
    int64_t step = 0;
    {
        const std::lock_guard<std::mutex> lock(period->mutex);
        // The new period starts when the old one is noticed to be over, not at its end.
        if (mono > period->periodEndMonoMs) {
            _anchorLocked(period, wall, mono);
            return PeriodTick::kEnded;
        }
        step = static_cast<int64_t>(wall - mono) - period->wallMinusMonoMs;
        if (step >= -kClockStepMs && step <= kClockStepMs) return PeriodTick::kRunning;
        // Unsigned wrap-around moves both bounds back for a negative step.
        period->periodStartMs += static_cast<uint64_t>(step);
        period->periodEndMs += static_cast<uint64_t>(step);
        period->wallMinusMonoMs += step;
    }
    SM_LOG(1, "wall clock stepped by %" PRId64 " ms, the period's window follows\n", step);
    return PeriodTick::kWindowMoved;
}

METRIC_PERIOD_TALLY_T metric_period_tally(METRIC_PERIOD_T* period) {
    METRIC_PERIOD_COUNTS_T& counts = period->ingest->counts;
    METRIC_PERIOD_TALLY_T tally;
    tally.accepted = counts.accepted.exchange(0);
    tally.droppedByDisable = counts.droppedByDisable.exchange(0);
    for (size_t i = 0; i < tally.refused.size(); ++i) {
        tally.refused[i] = counts.refused[i].exchange(0);
    }
    tally.queuePeakBytes = takeQueueHighWater(&period->ingest->metricDataQueue);
    const METRIC_UPLOAD_COUNTS_T uploads = metric_upload_counts(period->upload);
    tally.uploadsAccepted = uploads.accepted;
    tally.uploadsFailed = uploads.failed;
    tally.backlog = uploads.backlog;
    return tally;
}

void metric_period_summary_line(const METRIC_PERIOD_TALLY_T& t, char* line, size_t size) {
    const auto n = [](uint64_t count) { return static_cast<unsigned long long>(count); };
    const BACKLOG_STATS_T& b = t.backlog;
    snprintf(line, size,
             "period summary: samples accepted %llu, dropped by disable %llu, requests refused "
             "100000:%llu 100001:%llu 100002:%llu 110100:%llu 110101:%llu, queue peak %zu bytes, "
             "uploads accepted %llu failed %llu, backlog %llu metrics %llu bytes, kept %llu "
             "retried %llu uploaded %llu, dropped full %llu age %llu refused %llu instance %llu, "
             "records cut %llu",
             n(t.accepted), n(t.droppedByDisable), n(t.refused[0]), n(t.refused[1]),
             n(t.refused[2]), n(t.refused[3]), n(t.refused[4]), t.queuePeakBytes,
             n(t.uploadsAccepted), n(t.uploadsFailed), n(b.metricsNow), n(b.bytesNow), n(b.kept),
             n(b.retried), n(b.uploaded), n(b.droppedFull), n(b.droppedAge), n(b.droppedRefused),
             n(b.droppedInstance), n(b.corruptCut));
}

void metric_period_summary(METRIC_PERIOD_T* period, char* line, size_t size) {
    metric_period_summary_line(metric_period_tally(period), line, size);
}

PERIOD_METRICS_T metric_period_take(METRIC_PERIOD_T* period) {
    PERIOD_METRICS_T metrics;
    const std::lock_guard<std::mutex> lock(period->cacheLock);
    iter_metric_data(period->cache, _collectMetric, &metrics);
    clear_metric_data(period->cache);
    return metrics;
}

PERIOD_METRICS_T metric_period_take_rest(METRIC_PERIOD_T* period) {
    _mergeQueued(period);
    return metric_period_take(period);
}

void metric_period_end(METRIC_PERIOD_T* period) {
    // One read of the counts serves the summary line and the self-metrics alike.
    const METRIC_PERIOD_TALLY_T tally = metric_period_tally(period);
    _addSelfMetrics(period, tally);
    PERIOD_METRICS_T metrics = metric_period_take(period);
    char line[640];
    metric_period_summary_line(tally, line, sizeof line);
    SM_LOG(1, "%s\n", line);
    notify_period_status({tally.accepted, tally.uploadsAccepted, tally.uploadsFailed,
                          tally.backlog.metricsNow});
    // An empty period (module off, nothing posted) would only take a backlog slot that a
    // waiting period with data needs behind a slow cloud.
    if (!metrics.empty()) metric_upload_hand_over(period->upload, std::move(metrics));
}
