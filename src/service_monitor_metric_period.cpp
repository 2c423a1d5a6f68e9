// The metric manager's two threads: the manager thread merges queued samples into the
// cache and keeps the period clock; the upload thread uploads each ended period beside
// it, so a slow cloud never holds the next period back.
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "common.h"
#include "dbus_message_credential.h"
#include "raii.h"
#include "service_monitor_metric_manager.h"
#include "zeb-sdk/zeb-sdk.h"

namespace {

constexpr uint32_t kPopTimeoutMs = 1000;
constexpr int kUploadTimeoutSeconds = 10;
constexpr size_t kUploadModuleBufSize = 98;
// Bodies built ahead of their upload: keeps each body's ts close to its request.
constexpr size_t kBodiesPerRound = 128;
// A drained backlog at least this large hands its memory back to the system.
constexpr size_t kTrimAfterBytes = 1U << 20;

uint64_t _monotonicMs() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_nsec) / 1000000U;
}

// Caller holds the period mutex.
void _anchorLocked(METRIC_DATA_MANAGER_T* m, uint64_t wall, uint64_t mono) {
    m->periodStartMs = wall;
    m->periodEndMs = wall + m->periodMs;
    m->periodEndMonoMs = mono + m->periodMs;
    m->wallMinusMonoMs = static_cast<int64_t>(wall - mono);
}

// ---- Manager thread ---------------------------------------------------------------

void _mergeBatch(METRIC_DATA_MANAGER_T* manager, const METRIC_BATCH_T& batch) {
    const std::lock_guard<std::mutex> lock(manager->cacheLock);
    // Taken before a disable that has cleared the cache since: it belongs to the dropped
    // period, whether the module is off now or already on again.
    if (batch.enableEpoch != manager->enableEpoch.load()) {
        manager->counts.droppedByDisable.fetch_add(batch.messages.size(),
                                                   std::memory_order_relaxed);
        return;
    }
    for (const METRIC_MESSAGE_T& message : batch.messages) {
        if (insert_metric_data(manager->cache, &message) != 0) {
            SM_LOG(3, "insert data failed!moduleName:%s,metricName:%s\n", message.moduleName,
                   message.metricName);
        }
    }
}

int _collectMetric(const char* moduleName, const char* metricName, uint32_t collectRule,
                   void* userData, double value) {
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

// Queues an ended period for the upload thread; past the backlog bound the oldest waiting
// period is dropped and its metrics counted as failed uploads.
void _handOver(METRIC_DATA_MANAGER_T* manager, PERIOD_METRICS_T metrics) {
    METRIC_UPLOAD_WORK_T& work = manager->upload;
    size_t dropped = 0;
    try {
        const std::lock_guard<std::mutex> lock(work.lock);
        if (work.periods.size() >= kMaxWaitingPeriods) {
            dropped = work.periods.front().size();
            work.periods.pop_front();
        }
        work.periods.push_back(std::move(metrics));
    } catch (const std::bad_alloc&) {
        dropped = metrics.size();
    }
    work.cond.notify_one();
    if (dropped != 0) {
        SM_LOG(2, "upload backlog full, %zu metrics of a waiting period dropped\n", dropped);
        manager->counts.uploadsFailed.fetch_add(dropped, std::memory_order_relaxed);
    }
}

void* metricManagerThread(void* arg) noexcept {
    auto* manager = static_cast<METRIC_DATA_MANAGER_T*>(arg);
    SM_LOG(0, "metricManagerThread start\n");
    bool trimDue = false;
    while (!manager->stopRequested.load()) {
        MSG_NODE_T* first = nullptr;
        size_t drained = 0;
        if (popAllMessagesFromQueue(&manager->metricDataQueue, kPopTimeoutMs, &first) == 0) {
            drained = metric_merge_chain(manager, first);
        }
        // Once a large backlog has drained, give its memory back.
        if (drained >= kTrimAfterBytes) {
            trimDue = true;
        } else if (trimDue) {
            (void)malloc_trim(0);
            trimDue = false;
        }
        if (metric_period_tick(manager) != PeriodTick::kEnded) continue;
        // What was queued before the end was noticed belongs to the period that ended.
        if (popAllMessagesFromQueue(&manager->metricDataQueue, 0, &first) == 0) {
            (void)metric_merge_chain(manager, first);
        }
        metric_period_end(manager);
    }
    return nullptr;
}

// ---- Upload thread ----------------------------------------------------------------

void _refreshExpiredCredential(METRIC_DATA_MANAGER_T* manager) {
    CREDENTIAL_MSG_T credential {};
    if (credential_get_msg(&credential) != 0) {
        SM_LOG(2, "get credential failed\n");
        return;
    }
    if (credential.expireTimeMs == 0 || get_time_ms() <= credential.expireTimeMs) return;
    if (refresh_credential(metric_data_manager_credential_callback, manager) == 0) {
        SM_LOG(1, "update credential success\n");
    } else {
        SM_LOG(2, "update credential failed\n");
    }
}

// The next period to upload, or false once the manager stops.
bool _nextPeriod(METRIC_DATA_MANAGER_T* manager, PERIOD_METRICS_T* metrics) {
    METRIC_UPLOAD_WORK_T& work = manager->upload;
    std::unique_lock<std::mutex> lock(work.lock);
    while (!manager->stopRequested.load() && work.periods.empty()) {
        work.cond.wait_for(lock, std::chrono::milliseconds(kPopTimeoutMs));
    }
    if (manager->stopRequested.load()) return false;
    *metrics = std::move(work.periods.front());
    work.periods.pop_front();
    return true;
}

void* metricUploadThread(void* arg) noexcept {
    auto* manager = static_cast<METRIC_DATA_MANAGER_T*>(arg);
    PERIOD_METRICS_T metrics;
    while (_nextPeriod(manager, &metrics)) {
        _refreshExpiredCredential(manager);
        (void)upload_period_metrics(manager, metrics);
    }
    return nullptr;
}

// Splits "svc/func/rest" into service "svc" and function "func"; the rest is dropped.
void _splitModuleName(const char* moduleName, char* work, const char** service,
                      const char** function) {
    snprintf(work, kUploadModuleBufSize, "%s", moduleName);
    char* save = nullptr;
    const char* first = strtok_r(work, "/", &save);
    const char* second = first != nullptr ? strtok_r(nullptr, "/", &save) : nullptr;
    *service = work;
    *function = second != nullptr ? second : "";
}

// The upload body: an array of one record, keys in the order the service expects.
CJsonPtr _buildUploadBody(METRIC_DATA_MANAGER_T* manager, const char* moduleName,
                          const char* metricName, double value) {
    CJsonPtr array(cJSON_CreateArray());
    if (!array) {
        SM_LOG(2, "create json array failed\n");
        return nullptr;
    }
    cJSON* entry = cJSON_CreateObject();
    cJSON* dimensions = cJSON_CreateObject();
    if (entry == nullptr || dimensions == nullptr) {
        cJSON_Delete(entry);
        cJSON_Delete(dimensions);
        SM_LOG(2, "create json object failed\n");
        return nullptr;
    }
    cJSON_AddItemToArray(array.get(), entry);
    char groupId[sizeof manager->groupId];
    char instanceId[sizeof manager->instanceId];
    {
        const std::lock_guard<std::mutex> lock(manager->namesLock);
        memcpy(groupId, manager->groupId, sizeof groupId);
        memcpy(instanceId, manager->instanceId, sizeof instanceId);
    }
    char work[kUploadModuleBufSize] = {};
    const char* service = nullptr;
    const char* function = nullptr;
    _splitModuleName(moduleName, work, &service, &function);
    cJSON_AddStringToObject(entry, "productCode", "NODE_HUB");
    cJSON_AddStringToObject(entry, "metricName", metricName);
    cJSON_AddStringToObject(entry, "groupId", groupId);
    cJSON_AddStringToObject(entry, "instanceId", instanceId);
    cJSON_AddStringToObject(dimensions, "region", "cn-hangzhou");
    cJSON_AddStringToObject(dimensions, "serviceName", service);
    cJSON_AddStringToObject(dimensions, "functionName", function);
    cJSON_AddItemToObject(entry, "dimensions", dimensions);
    // Only a posted sample can still be beyond it: held values already are within.
    cJSON_AddNumberToObject(entry, "value", std::clamp(value, -kMetricValueMax, kMetricValueMax));
    cJSON_AddNumberToObject(entry, "ts", static_cast<double>(manager->wallClockMs()));
    return array;
}

CJsonText _printUploadBody(METRIC_DATA_MANAGER_T* manager, const PERIOD_METRIC_T& metric) {
    const CJsonPtr body = _buildUploadBody(manager, metric.moduleName, metric.metricName,
                                           metric.value);
    if (!body) return nullptr;
    CJsonText text(cJSON_PrintUnformatted(body.get()));
    if (!text) SM_LOG(2, "metric json===>string failed\n");
    return text;
}

void _logUpload(const char* text, bool accepted) {
    if (accepted) {
        SM_LOG(1, "post metric data:%s success\n", text);
    } else {
        SM_LOG(2, "upload to zeb failed\n");
    }
}

// Uploads metrics[from, to) in one concurrent round. The number accepted.
size_t _uploadRound(METRIC_DATA_MANAGER_T* manager, const PERIOD_METRICS_T& metrics, size_t from,
                    size_t to) {
    std::vector<CJsonText> texts;
    std::vector<const char*> bodies;
    texts.reserve(to - from);
    bodies.reserve(to - from);
    for (size_t i = from; i < to; ++i) {
        CJsonText text = _printUploadBody(manager, metrics[i]);
        if (!text) {
            SM_LOG(2, "upload to zeb failed\n");
            continue;
        }
        bodies.push_back(text.get());
        texts.push_back(std::move(text));
    }
    std::vector<int> results(bodies.size(), -1);
    CloudSdkClient* const sdk = manager->sdkHandle.load();
    if (sdk != nullptr && !bodies.empty()) {
        (void)manager->uploadMany(sdk, bodies.data(), bodies.size(), kUploadTimeoutSeconds,
                                  results.data());
    }
    size_t accepted = 0;
    for (size_t i = 0; i < bodies.size(); ++i) {
        _logUpload(bodies[i], results[i] == 0);
        accepted += results[i] == 0 ? 1 : 0;
    }
    return accepted;
}

}  // namespace

// ---- Period clock -----------------------------------------------------------------

size_t metric_merge_chain(METRIC_DATA_MANAGER_T* manager, MSG_NODE_T* first) {
    size_t bytes = 0;
    for (MSG_NODE_T* node = first; node != nullptr;) {
        MSG_NODE_T* const next = node->link.next;
        bytes += node->cost;
        const std::unique_ptr<METRIC_BATCH_T> batch = takeMetricBatch(node);
        _mergeBatch(manager, *batch);
        node = next;
    }
    return bytes;
}

void metric_manager_use_defaults(METRIC_DATA_MANAGER_T* manager) {
    if (manager->wallClockMs == nullptr) manager->wallClockMs = get_time_ms;
    if (manager->monoClockMs == nullptr) manager->monoClockMs = _monotonicMs;
    if (manager->uploadMany == nullptr) manager->uploadMany = CloudSdkPostMetricDataMany;
    if (manager->abortTransfers == nullptr) manager->abortTransfers = CloudSdkAbort;
}

void metric_period_anchor(METRIC_DATA_MANAGER_T* manager) {
    const uint64_t mono = manager->monoClockMs();
    const uint64_t wall = manager->wallClockMs();
    const std::lock_guard<std::mutex> lock(manager->mutex);
    _anchorLocked(manager, wall, mono);
}

PeriodTick metric_period_tick(METRIC_DATA_MANAGER_T* manager) {
    const uint64_t mono = manager->monoClockMs();
    const uint64_t wall = manager->wallClockMs();
    int64_t step = 0;
    {
        const std::lock_guard<std::mutex> lock(manager->mutex);
        // The new period starts when the old one is noticed to be over, not at its end.
        if (mono > manager->periodEndMonoMs) {
            _anchorLocked(manager, wall, mono);
            return PeriodTick::kEnded;
        }
        step = static_cast<int64_t>(wall - mono) - manager->wallMinusMonoMs;
        if (step >= -kClockStepMs && step <= kClockStepMs) return PeriodTick::kRunning;
        // Unsigned wrap-around moves both bounds back for a negative step.
        manager->periodStartMs += static_cast<uint64_t>(step);
        manager->periodEndMs += static_cast<uint64_t>(step);
        manager->wallMinusMonoMs += step;
    }
    SM_LOG(1, "wall clock stepped by %" PRId64 " ms, the period's window follows\n", step);
    return PeriodTick::kWindowMoved;
}

void metric_period_summary(METRIC_DATA_MANAGER_T* manager, char* line, size_t size) {
    METRIC_PERIOD_COUNTS_T& counts = manager->counts;
    unsigned long long refused[kMetricRefusalCodes.size()];
    for (size_t i = 0; i < kMetricRefusalCodes.size(); ++i) refused[i] = counts.refused[i].exchange(0);
    snprintf(line, size,
             "period summary: samples accepted %llu, dropped by disable %llu, requests refused "
             "100000:%llu 100001:%llu 100002:%llu 110100:%llu 110101:%llu, queue peak %zu bytes, "
             "uploads accepted %llu failed %llu",
             static_cast<unsigned long long>(counts.accepted.exchange(0)),
             static_cast<unsigned long long>(counts.droppedByDisable.exchange(0)), refused[0], refused[1],
             refused[2], refused[3], refused[4], takeQueueHighWater(&manager->metricDataQueue),
             static_cast<unsigned long long>(counts.uploadsAccepted.exchange(0)),
             static_cast<unsigned long long>(counts.uploadsFailed.exchange(0)));
}

void metric_period_end(METRIC_DATA_MANAGER_T* manager) {
    PERIOD_METRICS_T metrics;
    {
        const std::lock_guard<std::mutex> lock(manager->cacheLock);
        iter_metric_data(manager->cache, _collectMetric, &metrics);
        clear_metric_data(manager->cache);
    }
    char line[384];
    metric_period_summary(manager, line, sizeof line);
    SM_LOG(1, "%s\n", line);
    // An empty period (module off, nothing posted) would only take a backlog slot that a
    // waiting period with data needs behind a slow cloud.
    if (!metrics.empty()) _handOver(manager, std::move(metrics));
}

// ---- Upload -----------------------------------------------------------------------

size_t upload_period_metrics(METRIC_DATA_MANAGER_T* manager, const PERIOD_METRICS_T& metrics) {
    size_t accepted = 0;
    size_t done = 0;
    try {
        while (done < metrics.size() && !manager->stopRequested.load()) {
            const size_t to = std::min(metrics.size(), done + kBodiesPerRound);
            accepted += _uploadRound(manager, metrics, done, to);
            done = to;
        }
    } catch (const std::bad_alloc&) {
        SM_LOG(2, "upload to zeb failed\n");
    }
    // Whatever shutdown or a lack of memory left unsent counts as failed.
    manager->counts.uploadsAccepted.fetch_add(accepted, std::memory_order_relaxed);
    manager->counts.uploadsFailed.fetch_add(metrics.size() - accepted, std::memory_order_relaxed);
    return accepted;
}

int UploadMetircDataToCloud(const char* moduleName, const char* metricName, uint32_t /*collectRule*/,
                            void* userData, double value) {
    auto* manager = static_cast<METRIC_DATA_MANAGER_T*>(userData);
    PERIOD_METRIC_T metric {};
    snprintf(metric.moduleName, sizeof metric.moduleName, "%s", moduleName);
    snprintf(metric.metricName, sizeof metric.metricName, "%s", metricName);
    metric.value = value;
    const CJsonText text = _printUploadBody(manager, metric);
    if (!text) return -1;
    CloudSdkClient* sdk = manager->sdkHandle.load();
    const bool accepted =
        sdk != nullptr && CloudSdkPostMetricData(sdk, text.get(), kUploadTimeoutSeconds) == 0;
    _logUpload(text.get(), accepted);
    return accepted ? 0 : -1;
}

// ---- Threads ----------------------------------------------------------------------

int metric_manager_start_threads(METRIC_DATA_MANAGER_T* manager) {
    const std::lock_guard<std::mutex> lock(manager->threadStateLock);
    // Joinable rather than detached: shutdown waits for the threads to end completely.
    if (pthread_create(&manager->thread, nullptr, metricManagerThread, manager) != 0) {
        SM_LOG(3, "create metric manager thread error \n");
        return -1;
    }
    manager->threadJoinable = true;
    if (pthread_create(&manager->upload.thread, nullptr, metricUploadThread, manager) != 0) {
        SM_LOG(3, "create metric manager thread error \n");
        manager->stopRequested = true;
        pthread_join(manager->thread, nullptr);
        manager->threadJoinable = false;
        return -1;
    }
    manager->upload.threadJoinable = true;
    return 0;
}

void metric_data_manager_stop(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return;
    manager->stopRequested = true;
    CloudSdkClient* const sdk = manager->sdkHandle.load();
    if (sdk != nullptr && manager->abortTransfers != nullptr) manager->abortTransfers(sdk);
    {
        // Under the lock, so that the upload thread cannot miss the wake-up between its
        // check of the flag and its wait.
        const std::lock_guard<std::mutex> lock(manager->upload.lock);
        manager->upload.cond.notify_all();
    }
    const std::lock_guard<std::mutex> lock(manager->threadStateLock);
    // The manager thread notices within one queue wait, the upload thread at once or when
    // the aborted round returns.
    if (manager->threadJoinable) pthread_join(manager->thread, nullptr);
    manager->threadJoinable = false;
    if (manager->upload.threadJoinable) pthread_join(manager->upload.thread, nullptr);
    manager->upload.threadJoinable = false;
}
