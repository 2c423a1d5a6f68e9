#include "service_monitor_metric_upload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "common.h"
#include "dbus_message_credential.h"
#include "raii.h"
#include "zeb-sdk/zeb-sdk.h"

namespace {

constexpr uint32_t kWaitTimeoutMs = 1000;
constexpr int kUploadTimeoutSeconds = 10;
constexpr size_t kUploadModuleBufSize = 98;
// Bodies built ahead of their upload: keeps each body's ts close to its request.
constexpr size_t kBodiesPerRound = 128;

void _refreshExpiredCredential(METRIC_UPLOAD_T* upload) {
    CREDENTIAL_MSG_T credential {};
    if (credential_get_msg(&credential) != 0) {
        SM_LOG(2, "get credential failed\n");
        return;
    }
    if (credential.expireTimeMs == 0 || get_time_ms() <= credential.expireTimeMs) return;
    if (refresh_credential(metric_registration_credential_callback, upload->registration) == 0) {
        SM_LOG(1, "update credential success\n");
    } else {
        SM_LOG(2, "update credential failed\n");
    }
}

// The next period to upload, or false once the upload stops.
bool _nextPeriod(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T* metrics) {
    std::unique_lock<std::mutex> lock(upload->lock);
    while (!upload->stopRequested.load() && upload->periods.empty()) {
        upload->cond.wait_for(lock, std::chrono::milliseconds(kWaitTimeoutMs));
    }
    if (upload->stopRequested.load()) return false;
    *metrics = std::move(upload->periods.front());
    upload->periods.pop_front();
    return true;
}

void* metricUploadThread(void* arg) noexcept {
    auto* upload = static_cast<METRIC_UPLOAD_T*>(arg);
    PERIOD_METRICS_T metrics;
    while (_nextPeriod(upload, &metrics)) {
        _refreshExpiredCredential(upload);
        (void)upload_period_metrics(upload, metrics);
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
    METRIC_NAMES_T& names = upload->registration->names;
    char groupId[sizeof names.groupId];
    char instanceId[sizeof names.instanceId];
    {
        const std::lock_guard<std::mutex> lock(names.lock);
        memcpy(groupId, names.groupId, sizeof groupId);
        memcpy(instanceId, names.instanceId, sizeof instanceId);
    }
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
    cJSON_AddNumberToObject(entry, "ts", static_cast<double>(upload->wallClockMs()));
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

// Uploads metrics[from, to) in one concurrent round. The number accepted.
size_t _uploadRound(METRIC_UPLOAD_T* upload, const PERIOD_METRICS_T& metrics, size_t from,
                    size_t to) {
    std::vector<CJsonText> texts;
    std::vector<const char*> bodies;
    texts.reserve(to - from);
    bodies.reserve(to - from);
    for (size_t i = from; i < to; ++i) {
        CJsonText text = _printUploadBody(upload, metrics[i]);
        if (!text) {
            SM_LOG(2, "upload to zeb failed\n");
            continue;
        }
        bodies.push_back(text.get());
        texts.push_back(std::move(text));
    }
    std::vector<int> results(bodies.size(), -1);
    CloudSdkClient* const sdk = upload->registration->sdkHandle.load();
    if (sdk != nullptr && !bodies.empty()) {
        (void)upload->uploadMany(sdk, bodies.data(), bodies.size(), kUploadTimeoutSeconds,
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

void metric_upload_use_defaults(METRIC_UPLOAD_T* upload) {
    if (upload->wallClockMs == nullptr) upload->wallClockMs = get_time_ms;
    if (upload->uploadMany == nullptr) upload->uploadMany = CloudSdkPostMetricDataMany;
}

int metric_upload_thread_start(METRIC_UPLOAD_T* upload) {
    const std::lock_guard<std::mutex> lock(upload->threadStateLock);
    // Joinable rather than detached: shutdown waits for the thread to end completely.
    if (pthread_create(&upload->thread, nullptr, metricUploadThread, upload) != 0) {
        SM_LOG(3, "create metric manager thread error \n");
        return -1;
    }
    upload->threadJoinable = true;
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
    const std::lock_guard<std::mutex> lock(upload->threadStateLock);
    // The thread notices at once, or when the round in flight returns.
    if (upload->threadJoinable) pthread_join(upload->thread, nullptr);
    upload->threadJoinable = false;
}

void metric_upload_hand_over(METRIC_UPLOAD_T* upload, PERIOD_METRICS_T metrics) {
    size_t dropped = 0;
    try {
        const std::lock_guard<std::mutex> lock(upload->lock);
        if (upload->periods.size() >= kMaxWaitingPeriods) {
            dropped = upload->periods.front().size();
            upload->periods.pop_front();
        }
        upload->periods.push_back(std::move(metrics));
    } catch (const std::bad_alloc&) {
        dropped = metrics.size();
    }
    upload->cond.notify_one();
    if (dropped != 0) {
        SM_LOG(2, "upload backlog full, %zu metrics of a waiting period dropped\n", dropped);
        upload->uploadsFailed.fetch_add(dropped, std::memory_order_relaxed);
    }
}

size_t upload_period_metrics(METRIC_UPLOAD_T* upload, const PERIOD_METRICS_T& metrics) {
    size_t accepted = 0;
    size_t done = 0;
    try {
        while (done < metrics.size() && !upload->stopRequested.load()) {
            const size_t to = std::min(metrics.size(), done + kBodiesPerRound);
            accepted += _uploadRound(upload, metrics, done, to);
            done = to;
        }
    } catch (const std::bad_alloc&) {
        SM_LOG(2, "upload to zeb failed\n");
    }
    // Whatever shutdown or a lack of memory left unsent counts as failed.
    upload->uploadsAccepted.fetch_add(accepted, std::memory_order_relaxed);
    upload->uploadsFailed.fetch_add(metrics.size() - accepted, std::memory_order_relaxed);
    return accepted;
}

int UploadMetircDataToCloud(const char* moduleName, const char* metricName,
                            uint32_t collectRule, void* userData, double value) noexcept {
    PERIOD_METRIC_T metric {};
    snprintf(metric.moduleName, sizeof metric.moduleName, "%s", moduleName);
    snprintf(metric.metricName, sizeof metric.metricName, "%s", metricName);
    metric.collectRule = collectRule;
    metric.value = value;
    try {
        const PERIOD_METRICS_T one(1, metric);
        return _uploadRound(static_cast<METRIC_UPLOAD_T*>(userData), one, 0, 1) == 1 ? 0 : -1;
    } catch (const std::bad_alloc&) {
        SM_LOG(2, "upload to zeb failed\n");
        return -1;
    }
}
