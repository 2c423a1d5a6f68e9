#include "service_monitor_metric_upload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "common.h"
#include "raii.h"
#include "zeb-sdk.h"

namespace {

constexpr uint32_t kWaitTimeoutMs = 1000;
constexpr int kUploadTimeoutSeconds = 10;
constexpr size_t kUploadModuleBufSize = 98;
constexpr size_t kGroupIdSize = sizeof METRIC_NAMES_T::groupId;
constexpr size_t kInstanceIdSize = sizeof METRIC_NAMES_T::instanceId;

bool _retryDue(METRIC_UPLOAD_T* upload) {
    return metric_retry_due(&upload->retry, upload->monoClockMs()) &&
           metric_retry_may_upload(&upload->retry, upload->enabled);
}

// Past the bound, the oldest waiting periods are kept: a cloud that hangs cannot make
// memory grow. Done here, on the upload thread, which alone writes the backlog.
void _keepOverflow(METRIC_UPLOAD_T* upload) {
    PERIOD_METRICS_T pushedOut;
    {
        const std::lock_guard<std::mutex> lock(upload->lock);
        while (upload->periods.size() > kMaxWaitingPeriods) {
            PERIOD_METRICS_T& oldest = upload->periods.front();
            pushedOut.insert(pushedOut.end(), oldest.begin(), oldest.end());
            upload->periods.pop_front();
        }
    }
    if (pushedOut.empty()) return;
    SM_LOG(2, "upload backlog full, %zu metrics of a waiting period kept for later\n",
           pushedOut.size());
    metric_retry_keep(&upload->retry, pushedOut, upload->wallClockMs());
}

// The next period to upload (metrics filled), a due backlog round (metrics left empty),
// or false once the upload stops.
bool _nextWork(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T* metrics) {
    for (;;) {
        _keepOverflow(upload);
        {
            std::unique_lock<std::mutex> lock(upload->lock);
            if (upload->stopRequested.load()) return false;
            if (!upload->periods.empty()) {
                *metrics = std::move(upload->periods.front());
                upload->periods.pop_front();
                return true;
            }
        }
        if (_retryDue(upload)) return true;
        std::unique_lock<std::mutex> lock(upload->lock);
        upload->cond.wait_for(lock, std::chrono::milliseconds(kWaitTimeoutMs), [upload] {
            return upload->stopRequested.load() || !upload->periods.empty();
        });
    }
}

void* metricUploadThread(void* arg) noexcept {
    auto* upload = static_cast<METRIC_UPLOAD_T*>(arg);
    PERIOD_METRICS_T metrics;
    while (_nextWork(upload, &metrics)) {
        try {
            if (metrics.empty()) {
                (void)upload_backlog_round(upload);
            } else {
                (void)upload_period_metrics(upload, metrics);
            }
        } catch (const std::bad_alloc&) {
            SM_LOG(2, "upload to zeb failed\n");  // a later period or round tries again
        }
        metrics.clear();
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

// The registration's group and instance ids, copied under their lock.
void _copyIds(METRIC_UPLOAD_T* upload, char (&groupId)[kGroupIdSize],
              char (&instanceId)[kInstanceIdSize]) {
    METRIC_NAMES_T& names = upload->registration->names;
    const std::lock_guard<std::mutex> lock(names.lock);
    memcpy(groupId, names.groupId, sizeof groupId);
    memcpy(instanceId, names.instanceId, sizeof instanceId);
}

// The upload body: an array of one record, keys in the order the service expects.
CJsonPtr _buildUploadBody(METRIC_UPLOAD_T* upload, const PERIOD_METRIC_T& metric) {
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
    char groupId[kGroupIdSize];
    char instanceId[kInstanceIdSize];
    _copyIds(upload, groupId, instanceId);
    char work[kUploadModuleBufSize] = {};
    const char* service = nullptr;
    const char* function = nullptr;
    _splitModuleName(metric.moduleName, work, &service, &function);
    cJSON_AddStringToObject(entry, "productCode", "NODE_HUB");
    cJSON_AddStringToObject(entry, "metricName", metric.metricName);
    cJSON_AddStringToObject(entry, "groupId", groupId);
    cJSON_AddStringToObject(entry, "instanceId", instanceId);
    cJSON_AddStringToObject(dimensions, "region", "cn-hangzhou");
    cJSON_AddStringToObject(dimensions, "serviceName", service);
    cJSON_AddStringToObject(dimensions, "functionName", function);
    cJSON_AddItemToObject(entry, "dimensions", dimensions);
    // Only a posted sample can still be beyond it: held values already are within.
    cJSON_AddNumberToObject(entry, "value",
                            std::clamp(metric.value, -kMetricValueMax, kMetricValueMax));
    cJSON_AddNumberToObject(entry, "ts", static_cast<double>(metric.ts));
    return array;
}

CJsonText _printUploadBody(METRIC_UPLOAD_T* upload, const PERIOD_METRIC_T& metric) {
    const CJsonPtr body = _buildUploadBody(upload, metric);
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

// Uploads the metrics in one concurrent round; results[i] as CloudSdkPostMetricDataMany
// gives them (-1 for a body that could not be built).
std::vector<int> _uploadRound(METRIC_UPLOAD_T* upload, const PERIOD_METRICS_T& metrics) {
    std::vector<CJsonText> texts;
    std::vector<const char*> bodies;
    std::vector<size_t> built;
    for (size_t i = 0; i < metrics.size(); ++i) {
        CJsonText text = _printUploadBody(upload, metrics[i]);
        if (!text) {
            SM_LOG(2, "upload to zeb failed\n");
            continue;
        }
        bodies.push_back(text.get());
        built.push_back(i);
        texts.push_back(std::move(text));
    }
    std::vector<int> sent(bodies.size(), -1);
    CloudSdkClient* const sdk = upload->registration->sdkHandle.load();
    if (sdk != nullptr && !bodies.empty()) {
        (void)upload->uploadMany(sdk, bodies.data(), bodies.size(), kUploadTimeoutSeconds,
                                 sent.data());
    }
    std::vector<int> results(metrics.size(), -1);
    for (size_t k = 0; k < bodies.size(); ++k) {
        results[built[k]] = sent[k];
        if (sent[k] != kUploadNotTried) _logUpload(bodies[k], sent[k] == 0);
    }
    return results;
}

// One round of the outbox: planned, sent and settled. False when nothing may go now;
// *through tells whether the cloud took or refused any.
bool _round(METRIC_UPLOAD_T* upload, size_t* accepted, bool* through) {
    std::vector<uint64_t> ids;
    const PERIOD_METRICS_T metrics = metric_retry_take(&upload->retry, upload->wallClockMs(), &ids);
    if (metrics.empty()) return false;
    const std::vector<int> results = _uploadRound(upload, metrics);
    *through = metric_retry_settle(&upload->retry, metrics, ids, results, upload->monoClockMs(),
                                   accepted);
    upload->uploadsAccepted.fetch_add(*accepted, std::memory_order_relaxed);
    upload->uploadsFailed.fetch_add(results.size() - *accepted, std::memory_order_relaxed);
    return true;
}

// After the rounds, what still waits is kept; not when the upload stops: shutdown keeps it
// all, with the periods still waiting, as one record.
void _keepWaiting(METRIC_UPLOAD_T* upload) {
    if (!upload->stopRequested.load()) {
        metric_retry_keep_waiting(&upload->retry, upload->wallClockMs());
    }
}

// Periods that ended during the rounds join the outbox (each metric behind what waits of
// its series), up to `room` of them: a long drain does not hold a new period back. The
// number that joined.
size_t _joinWaitingPeriods(METRIC_UPLOAD_T* upload, size_t room) {
    std::deque<PERIOD_METRICS_T> joining;
    {
        const std::lock_guard<std::mutex> lock(upload->lock);
        while (joining.size() < room && !upload->periods.empty()) {
            joining.push_back(std::move(upload->periods.front()));
            upload->periods.pop_front();
        }
    }
    for (const PERIOD_METRICS_T& period : joining) metric_retry_add(&upload->retry, period);
    return joining.size();
}

// Rounds while they get something through (the first one is tried whatever the back-off
// says: a period end is a probe). Periods that end meanwhile join them, as many as may wait
// in memory; past that they wait, or are kept past the bound. The number taken by the
// cloud.
size_t _drain(METRIC_UPLOAD_T* upload) {
    size_t accepted = 0;
    size_t joined = 0;
    bool through = true;
    while (through && !upload->stopRequested.load()) {
        size_t taken = 0;
        if (!_round(upload, &taken, &through)) break;
        accepted += taken;
        if (through) joined += _joinWaitingPeriods(upload, kMaxWaitingPeriods - joined);
        _keepOverflow(upload);
    }
    _keepWaiting(upload);
    return accepted;
}

}  // namespace

void metric_upload_use_defaults(METRIC_UPLOAD_T* upload) {
    if (upload->wallClockMs == nullptr) upload->wallClockMs = get_time_ms;
    if (upload->monoClockMs == nullptr) upload->monoClockMs = get_monotonic_ms;
    if (upload->uploadMany == nullptr) upload->uploadMany = CloudSdkPostMetricDataMany;
    metric_backlog_open(&upload->retry.backlog,
                        upload->backlogDir != nullptr ? upload->backlogDir
                                                      : metric_backlog_default_dir(),
                        nullptr);
    // Kept metrics from before a wall-clock step back still go before the next period.
    upload->lastTs = upload->retry.backlog.newestTs;
}

METRIC_UPLOAD_COUNTS_T metric_upload_counts(METRIC_UPLOAD_T* upload) {
    METRIC_UPLOAD_COUNTS_T counts;
    counts.accepted = upload->uploadsAccepted.exchange(0);
    counts.failed = upload->uploadsFailed.exchange(0);
    counts.backlog = metric_backlog_stats(&upload->retry.backlog);
    return counts;
}

void metric_upload_deinit(METRIC_UPLOAD_T* upload) { metric_backlog_close(&upload->retry.backlog); }

int metric_upload_thread_start(METRIC_UPLOAD_T* upload) {
    if (joinable_thread_start(&upload->thread, metricUploadThread, upload) != 0) {
        SM_LOG(3, "create metric manager thread error \n");
        return -1;
    }
    return 0;
}

void metric_upload_request_stop(METRIC_UPLOAD_T* upload) {
    upload->stopRequested = true;
    // Under the lock, so that the thread cannot miss the wake-up between its check of the
    // flag and its wait.
    const std::lock_guard<std::mutex> lock(upload->lock);
    upload->cond.notify_all();
}

void metric_upload_thread_stop(METRIC_UPLOAD_T* upload) {
    metric_upload_request_stop(upload);
    // The thread notices at once, or when the round in flight returns.
    joinable_thread_join(&upload->thread);
}

uint64_t metric_upload_next_ts(METRIC_UPLOAD_T* upload) {
    upload->lastTs = std::max(upload->wallClockMs(), upload->lastTs + 1);
    return upload->lastTs;
}

void metric_upload_hand_over(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T metrics) {
    const uint64_t ts = metric_upload_next_ts(upload);
    for (PERIOD_METRIC_T& metric : metrics) metric.ts = ts;
    {
        const std::lock_guard<std::mutex> lock(upload->lock);
        upload->periods.push_back(std::move(metrics));
    }
    upload->cond.notify_one();
}

size_t upload_period_metrics(METRIC_UPLOAD_T* upload, const PERIOD_METRICS_T& metrics) {
    if (!metric_retry_may_upload(&upload->retry, upload->enabled)) {
        metric_retry_keep(&upload->retry, metrics, upload->wallClockMs());
        return 0;
    }
    metric_retry_refresh_expired_credential(&upload->retry);
    upload->retry.refusalLogged = false;
    // Each metric queues behind what waits of its series; the backlog's older ones go first.
    metric_retry_add(&upload->retry, metrics);
    return _drain(upload);
}

bool upload_backlog_round(METRIC_UPLOAD_T* upload) {
    size_t accepted = 0;
    bool through = true;
    (void)_round(upload, &accepted, &through);
    _keepWaiting(upload);
    return through;
}

void metric_upload_keep_rest(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T current) {
    const uint64_t ts = metric_upload_next_ts(upload);
    for (PERIOD_METRIC_T& metric : current) metric.ts = ts;
    PERIOD_METRICS_T rest;
    {
        const std::lock_guard<std::mutex> lock(upload->lock);
        for (PERIOD_METRICS_T& period : upload->periods) {
            rest.insert(rest.end(), period.begin(), period.end());
        }
        upload->periods.clear();
    }
    rest.insert(rest.end(), current.begin(), current.end());
    // The instance, when the registration is done.
    (void)metric_retry_may_upload(&upload->retry, upload->enabled);
    // With what the thread did not get through: one record.
    metric_retry_keep(&upload->retry, rest, upload->wallClockMs());
}

int UploadMetircDataToCloud(const char* moduleName, const char* metricName,
                            uint32_t collectRule, void* userData, double value) noexcept {
    PERIOD_METRIC_T metric {};
    snprintf(metric.moduleName, sizeof metric.moduleName, "%s", moduleName);
    snprintf(metric.metricName, sizeof metric.metricName, "%s", metricName);
    metric.collectRule = collectRule;
    metric.value = value;
    auto* const upload = static_cast<METRIC_UPLOAD_T*>(userData);
    metric.ts = upload->wallClockMs();
    try {
        const PERIOD_METRICS_T one(1, metric);
        return _uploadRound(upload, one)[0] == 0 ? 0 : -1;
    } catch (const std::bad_alloc&) {
        SM_LOG(2, "upload to zeb failed\n");
        return -1;
    }
}
