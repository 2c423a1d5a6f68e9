#include "service_monitor_metric_period.h"

#include <malloc.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
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
    if (batch.enableEpoch != period->enableEpoch.load()) {
        period->counts.droppedByDisable.fetch_add(batch.messages.size(),
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

// Drops every queued batch. The samples they held.
uint64_t _discardQueued(METRIC_PERIOD_T* period) {
    MSG_NODE_T* node = nullptr;
    uint64_t samples = 0;
    if (popAllMessagesFromQueue(&period->metricDataQueue, 0, &node) != 0) return 0;
    while (node != nullptr) {
        MSG_NODE_T* const next = node->link.next;
        samples += takeMetricBatch(node)->messages.size();
        node = next;
    }
    return samples;
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

void* metricManagerThread(void* arg) noexcept {
    auto* period = static_cast<METRIC_PERIOD_T*>(arg);
    SM_LOG(0, "metricManagerThread start\n");
    bool trimDue = false;
    while (!period->stopRequested.load()) {
        MSG_NODE_T* first = nullptr;
        size_t drained = 0;
        if (popAllMessagesFromQueue(&period->metricDataQueue, kPopTimeoutMs, &first) == 0) {
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
        if (popAllMessagesFromQueue(&period->metricDataQueue, 0, &first) == 0) {
            (void)metric_merge_chain(period, first);
        }
        metric_period_end(period);
    }
    return nullptr;
}

}  // namespace

int metric_period_init(METRIC_PERIOD_T* period) {
    if (initMessageQueue(&period->metricDataQueue) != 0) {
        SM_LOG(3, "init metricDataQueue failed\n");
        return -1;
    }
    period->metricDataQueue.limitBytes = kMetricQueueLimitBytes;
    period->metricDataQueue.wakeBytes = kMetricQueueWakeBytes;
    period->cache = metric_data_cache_init();
    if (period->cache == nullptr) {
        SM_LOG(3, "init data cache failed\n");
        return -1;
    }
    return 0;
}

void metric_period_deinit(METRIC_PERIOD_T* period) {
    (void)_discardQueued(period);
    metric_data_cache_deinit(period->cache);
    period->cache = nullptr;
}

void metric_period_use_defaults(METRIC_PERIOD_T* period) {
    if (period->wallClockMs == nullptr) period->wallClockMs = get_time_ms;
    if (period->monoClockMs == nullptr) period->monoClockMs = get_monotonic_ms;
}

void metric_period_anchor(METRIC_PERIOD_T* period) {
    const uint64_t mono = period->monoClockMs();
    const uint64_t wall = period->wallClockMs();
    const std::lock_guard<std::mutex> lock(period->mutex);
    _anchorLocked(period, wall, mono);
}

int metric_period_thread_start(METRIC_PERIOD_T* period) {
    const std::lock_guard<std::mutex> lock(period->threadStateLock);
    // Joinable rather than detached: shutdown waits for the thread to end completely.
    if (pthread_create(&period->thread, nullptr, metricManagerThread, period) != 0) {
        SM_LOG(3, "create metric manager thread error \n");
        return -1;
    }
    period->threadJoinable = true;
    return 0;
}

void metric_period_request_stop(METRIC_PERIOD_T* period) { period->stopRequested = true; }

void metric_period_thread_stop(METRIC_PERIOD_T* period) {
    metric_period_request_stop(period);
    const std::lock_guard<std::mutex> lock(period->threadStateLock);
    if (period->threadJoinable) pthread_join(period->thread, nullptr);
    period->threadJoinable = false;
}

std::unique_ptr<METRIC_BATCH_T> takeMetricBatch(MSG_NODE_T* node) {
    if (node == nullptr) return nullptr;
    return std::unique_ptr<METRIC_BATCH_T>(static_cast<METRIC_BATCH_T*>(node->payload));
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
        period->enableEpoch.fetch_add(1);
        dropped = metric_data_cache_samples(period->cache);
        clear_metric_data(period->cache);
    }
    dropped += _discardQueued(period);  // samples not yet merged belong to the dropped period too
    period->counts.droppedByDisable.fetch_add(dropped, std::memory_order_relaxed);
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

NOTIFY_PERIOD_STATUS_T metric_period_summary(METRIC_PERIOD_T* period, char* line, size_t size) {
    METRIC_PERIOD_COUNTS_T& counts = period->counts;
    const NOTIFY_PERIOD_STATUS_T status{counts.accepted.exchange(0),
                                        period->upload->uploadsAccepted.exchange(0),
                                        period->upload->uploadsFailed.exchange(0),
                                        metric_backlog_size(&period->upload->retry.backlog)};
    unsigned long long refused[kMetricRefusalCodes.size()];
    for (size_t i = 0; i < kMetricRefusalCodes.size(); ++i) refused[i] = counts.refused[i].exchange(0);
    snprintf(line, size,
             "period summary: samples accepted %llu, dropped by disable %llu, requests refused "
             "100000:%llu 100001:%llu 100002:%llu 110100:%llu 110101:%llu, queue peak %zu bytes, "
             "uploads accepted %llu failed %llu",
             static_cast<unsigned long long>(status.samplesAccepted),
             static_cast<unsigned long long>(counts.droppedByDisable.exchange(0)), refused[0], refused[1],
             refused[2], refused[3], refused[4], takeQueueHighWater(&period->metricDataQueue),
             static_cast<unsigned long long>(status.uploadsAccepted),
             static_cast<unsigned long long>(status.uploadsFailed));
    const size_t used = strlen(line);
    if (used + 2 < size) {
        snprintf(line + used, size - used, ", ");
        metric_upload_backlog_summary(period->upload, line + used + 2, size - used - 2);
    }
    return status;
}

PERIOD_METRICS_T metric_period_take(METRIC_PERIOD_T* period) {
    PERIOD_METRICS_T metrics;
    const std::lock_guard<std::mutex> lock(period->cacheLock);
    iter_metric_data(period->cache, _collectMetric, &metrics);
    clear_metric_data(period->cache);
    return metrics;
}

PERIOD_METRICS_T metric_period_take_rest(METRIC_PERIOD_T* period) {
    MSG_NODE_T* first = nullptr;
    if (popAllMessagesFromQueue(&period->metricDataQueue, 0, &first) == 0) {
        (void)metric_merge_chain(period, first);
    }
    return metric_period_take(period);
}

void metric_period_end(METRIC_PERIOD_T* period) {
    PERIOD_METRICS_T metrics = metric_period_take(period);
    char line[640];
    const NOTIFY_PERIOD_STATUS_T status = metric_period_summary(period, line, sizeof line);
    SM_LOG(1, "%s\n", line);
    notify_period_status(status);
    // An empty period (module off, nothing posted) would only take a backlog slot that a
    // waiting period with data needs behind a slow cloud.
    if (!metrics.empty()) metric_upload_hand_over(period->upload, std::move(metrics));
}
