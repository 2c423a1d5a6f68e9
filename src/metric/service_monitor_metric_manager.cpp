#include "service_monitor_metric_manager.h"

#include <strings.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common.h"
#include "dbus_message_credential.h"
#include "service_monitor_metric_request.h"

// ---- Ingestion ----------------------------------------------------------------------

namespace {

constexpr size_t kMessageBufSize = 128;

struct INGEST_RESULT_T {
    int code = kMetricCodeEmpty;
    char message[kMessageBufSize] = {};

    // Records a refusal; -1 for the caller to return.
    __attribute__((format(printf, 3, 4))) int set(int newCode, const char* fmt, ...) {
        code = newCode;
        va_list args;
        va_start(args, fmt);
        vsnprintf(message, sizeof message, fmt, args);
        va_end(args);
        return -1;
    }
};

// Copies src cut to size - 1 bytes; a cut never splits a UTF-8 character, so the upload
// body stays valid UTF-8 (ASCII names are cut exactly at the limit).
void _copyName(char* dst, size_t size, const char* src) {
    size_t len = strnlen(src, size - 1);
    const auto isContinuation = [src](size_t i) {
        return (static_cast<unsigned char>(src[i]) & 0xC0U) == 0x80U;
    };
    if (src[len] != '\0' && isContinuation(len)) {
        size_t back = len;
        while (back > 0 && len - back < 3 && isContinuation(back)) --back;
        if (!isContinuation(back)) len = back;  // the cut character's lead byte goes too
    }
    memcpy(dst, src, len);
    dst[len] = '\0';
}

// A name field unescaped and cut as _copyName cuts it.
template <size_t N>
void _copyNameField(char (&dst)[N], const JSON_VALUE_T& value) {
    if (!value.escaped && value.count < N) {  // the usual name: fits as it stands
        memcpy(dst, value.at + 1, value.count);
        dst[value.count] = '\0';
        return;
    }
    char text[N + 4];  // room to see whether the cut falls inside a character
    (void)json_string_copy(value, text, sizeof text);
    _copyName(dst, N, text);
}

// 0 for a text (of len bytes, none of them NUL) that names no collect rule. The length
// picks the one name to compare.
uint32_t _parseCollectRule(const char* text, size_t len) {
    if (len == 6 && strncasecmp(text, "update", 6) == 0) return COLLECT_RULE_UPDATE;
    if (len == 10 && strncasecmp(text, "accumulate", 10) == 0) return COLLECT_RULE_ACCUMULATE;
    if (len == 3 && strncasecmp(text, "avg", 3) == 0) return COLLECT_RULE_AVG;
    return 0;
}

std::unique_ptr<METRIC_BATCH_T> _createBatch(size_t entries, uint64_t enableEpoch) noexcept {
    try {
        auto batch = std::make_unique<METRIC_BATCH_T>();
        batch->enableEpoch = enableEpoch;
        batch->messages.reserve(entries);
        batch->node.payload = batch.get();
        return batch;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Steps that need no parsing: argument, switch and pre-task checks.
bool _acceptsRequests(METRIC_DATA_MANAGER_T* manager, const char* jsonText,
                      INGEST_RESULT_T* out) {
    if (manager == nullptr || jsonText == nullptr) {
        (void)out->set(kMetricCodeBadInput, "invalid input params");
        return false;
    }
    if (manager->enable.load() == 0) {
        (void)out->set(kMetricCodeDisabled, "metric module is disable");
        return false;
    }
    METRIC_REGISTRATION_T* const registration = &manager->registration;
    if (registration->dependReady.load() == 0 && check_dependent_service(registration) == 0) {
        (void)out->set(kMetricCodeNotReady, "the dependent service are not ready");
        return false;
    }
    return true;
}

bool _tsInPeriod(METRIC_DATA_MANAGER_T* manager, double ts, INGEST_RESULT_T* out) {
    uint64_t start = 0;
    uint64_t end = 0;
    metric_period_window(&manager->period, &start, &end);
    // In double, so that a period starting before the tolerance does not wrap around.
    if (ts > static_cast<double>(end) + TS_TOLERANCE_MS ||
        ts < static_cast<double>(start) - TS_TOLERANCE_MS) {
        (void)out->set(kMetricCodeBadInput, "ts(%lf) not in  %llu~ %llu, +-%d", ts,
                 static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                 static_cast<int>(TS_TOLERANCE_MS));
        return false;
    }
    return true;
}

// Checks one params entry and adds its sample, under moduleName (already cut), to the
// batch. 0, or -1 with out set to the entry's error.
int _addEntry(METRIC_BATCH_T* batch, const char (&moduleName)[kModuleNameSize],
              const METRIC_ENTRY_T& entry, INGEST_RESULT_T* out) {
    out->code = kMetricCodeBadInput;
    if (entry.metricName.kind != JsonKind::kString) {
        return out->set(kMetricCodeBadInput, "json object(metricName) is invalid");
    }
    // Infinity (1e309) or NaN could never be uploaded: the cloud refuses the body.
    if (entry.value.kind != JsonKind::kNumber || !std::isfinite(entry.value.number)) {
        return out->set(kMetricCodeBadInput, "json object(value) is invalid");
    }
    if (entry.collectRule.kind != JsonKind::kString) {
        return out->set(kMetricCodeBadInput, "json object(collectRule) is invalid");
    }
    // A rule without escapes is read where it stands; the text is copied only to be
    // unescaped or quoted in the refusal.
    const JSON_VALUE_T& ruleValue = entry.collectRule;
    uint32_t rule = ruleValue.escaped ? 0 : _parseCollectRule(ruleValue.at + 1, ruleValue.count);
    if (rule == 0) {
        char ruleText[kMessageBufSize];
        const size_t ruleLen = json_string_copy(ruleValue, ruleText, sizeof ruleText);
        if (ruleValue.escaped) rule = _parseCollectRule(ruleText, ruleLen);
        if (rule == 0) return out->set(kMetricCodeBadInput, "invalid collect rule:%s", ruleText);
    }
    if (batch->messages.size() == batch->messages.capacity()) {
        return out->set(kMetricCodeNoMemory, "create metric message failed");
    }
    batch->messages.emplace_back();
    METRIC_MESSAGE_T& message = batch->messages.back();
    memcpy(message.moduleName, moduleName, sizeof message.moduleName);
    _copyNameField(message.metricName, entry.metricName);
    message.value = entry.value.number;
    message.collectRule = rule;
    out->code = kMetricCodeOk;
    return 0;
}

// The entries before a failing entry are queued, as one batch; when the queue cannot take
// them the request is refused with 100002 instead.
int _ingestRequest(METRIC_DATA_MANAGER_T* manager, const METRIC_REQUEST_T& request,
                   uint64_t enableEpoch, INGEST_RESULT_T* out) {
    if (request.ts.kind != JsonKind::kNumber) {
        return out->set(kMetricCodeBadInput, "json object(ts) is invalid");
    }
    if (!_tsInPeriod(manager, request.ts.number, out)) return -1;
    if (request.moduleName.kind != JsonKind::kString) {
        return out->set(kMetricCodeBadInput, "json object(moduleName) is invalid");
    }
    if (request.params.kind != JsonKind::kArray) {
        return out->set(kMetricCodeBadInput, "json object(params) is invalid");
    }
    // Refused as bad input, not as "queue full": a retry could never succeed.
    const size_t maxEntries = metric_ingest_max_entries(&manager->ingest);
    if (request.params.count > maxEntries) {
        return out->set(kMetricCodeBadInput, "too many params: %zu, at most %zu per request",
                        request.params.count, maxEntries);
    }
    std::unique_ptr<METRIC_BATCH_T> batch = _createBatch(request.params.count, enableEpoch);
    if (!batch) return out->set(kMetricCodeNoMemory, "create message failed");
    char moduleName[kModuleNameSize] = {};  // one request, one module: cut once
    _copyNameField(moduleName, request.moduleName);
    METRIC_ENTRY_CURSOR_T cursor;
    int result = 0;
    for (const METRIC_ENTRY_T* entry = next_metric_entry(request, &cursor);
         result == 0 && entry != nullptr; entry = next_metric_entry(request, &cursor)) {
        result = _addEntry(batch.get(), moduleName, *entry, out);
    }
    // Queued whole, or refused whole when the queue cannot take it.
    if (metric_ingest_queue(&manager->ingest, std::move(batch)) != 0) {
        return out->set(kMetricCodeNoMemory, "metric queue is full");
    }
    return result;
}

// The request's id as a C string: in shortId when it fits, else in *longId.
template <size_t N>
const char* _copyId(const JSON_VALUE_T& value, char (&shortId)[N], std::string* longId) {
    const size_t len = json_string_copy(value, shortId, N);
    if (len < N) return shortId;
    try {
        longId->resize(len);
        (void)json_string_copy(value, &(*longId)[0], len + 1);
    } catch (const std::bad_alloc&) {
        longId->clear();  // the reply goes out with an empty id
    }
    return longId->c_str();
}

}  // namespace

int post_metric_data(METRIC_DATA_MANAGER_T* manager, const char* jsonText, char* reply) {
    INGEST_RESULT_T out;
    char shortId[64];
    std::string longId;
    const char* id = "";
    // Read before the switch is checked: a disable after this point drops the batch.
    const uint64_t enableEpoch = manager != nullptr ? manager->ingest.enableEpoch.load() : 0;
    if (_acceptsRequests(manager, jsonText, &out)) {
        // The record is large and read_metric_request sets what it reads: one per thread,
        // set up once, spares the bus thread a 1.7 kB initialisation per request.
        thread_local METRIC_REQUEST_T request;
        if (!read_metric_request(jsonText, &request)) {
            (void)out.set(kMetricCodeBadInput, "invalid json format");
        } else {
            if (request.id.kind == JsonKind::kString) id = _copyId(request.id, shortId, &longId);
            (void)_ingestRequest(manager, request, enableEpoch, &out);
        }
    }
    // Counted for the period's summary line.
    if (manager != nullptr) metric_ingest_count_reply(&manager->ingest, out.code);
    if (reply == nullptr ||
        package_reply_message(reply, kMetricReplyBufSize, id, out.message, out.code) != 0) {
        SM_LOG(3, "generate reply message failed\n");
    }
    return out.code == kMetricCodeOk ? 0 : -1;
}

// ---- Life cycle ---------------------------------------------------------------------

METRIC_DATA_MANAGER_T* metric_data_manager_init(CFG_CONN_T* cfgConn, uint64_t periodMs) {
    auto manager = std::unique_ptr<METRIC_DATA_MANAGER_T>(new (std::nothrow) METRIC_DATA_MANAGER_T());
    if (!manager) {
        SM_LOG(3, "malloc mem of metric manager failed\n");
        return nullptr;
    }
    if (cfgConn == nullptr) {
        SM_LOG(3, "cfgConn is invalid failed!\n");
        return nullptr;
    }
    manager->registration.cfgConn = cfgConn;
    manager->period.periodMs = periodMs;
    if (metric_data_manager_start(manager.get()) != 0) return nullptr;
    return manager.release();
}

int metric_data_manager_start(METRIC_DATA_MANAGER_T* manager) {
    if (metric_ingest_init(&manager->ingest) != 0 || metric_period_init(&manager->period) != 0) {
        return -1;
    }
    metric_registration_use_defaults(&manager->registration);
    metric_period_use_defaults(&manager->period);
    // The bodies' ts comes from the same wall clock as the period's window.
    if (manager->upload.wallClockMs == nullptr) {
        manager->upload.wallClockMs = manager->period.wallClockMs;
    }
    if (manager->upload.monoClockMs == nullptr) {
        manager->upload.monoClockMs = manager->period.monoClockMs;
    }
    manager->upload.enabled = &manager->enable;
    metric_upload_use_defaults(&manager->upload);
    metric_period_anchor(&manager->period);
    if (metric_period_thread_start(&manager->period) != 0) {
        metric_period_deinit(&manager->period);
        metric_upload_deinit(&manager->upload);
        return -1;
    }
    if (metric_upload_thread_start(&manager->upload) != 0) {
        metric_period_thread_stop(&manager->period);
        metric_period_deinit(&manager->period);
        metric_upload_deinit(&manager->upload);
        return -1;
    }
    return 0;
}

void metric_data_manager_stop(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return;
    // Every stop is asked for before the transfers are aborted, so that no thread starts
    // another round after the abort.
    metric_period_request_stop(&manager->period);
    metric_upload_request_stop(&manager->upload);
    metric_registration_close(&manager->registration);
    // The manager thread notices within one queue wait, the upload thread at once or when
    // the aborted round returns.
    metric_period_thread_stop(&manager->period);
    metric_upload_thread_stop(&manager->upload);
    // Nothing accepted is lost to the stop: the current period, the periods waiting and
    // the uploads that did not get through go to the backlog, one record.
    if (manager->period.cache != nullptr) {
        metric_upload_keep_rest(&manager->upload, metric_period_take_rest(&manager->period));
    }
}

void metric_data_manager_deinit(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return;
    metric_data_manager_stop(manager);
    metric_registration_deinit(&manager->registration);
    metric_period_deinit(&manager->period);
    metric_upload_deinit(&manager->upload);
    delete manager;
}

int metric_data_manager_enable(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return -1;
    manager->enable = 1;
    if (start_pre_task(&manager->registration) != 0) {
        SM_LOG(3, "start pre_task failed\n");
        return -1;
    }
    return 0;
}

int metric_data_manager_disable(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return -1;
    manager->enable = 0;
    metric_period_drop_samples(&manager->period);
    (void)stop_pre_task(&manager->registration);
    return 0;
}

int metric_data_manager_update_credential(METRIC_DATA_MANAGER_T* manager, const char* accessKeyId,
                                          const char* accessKeySecret, const char* securityToken) {
    if (manager == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    return metric_registration_update_credential(&manager->registration, accessKeyId,
                                                 accessKeySecret, securityToken);
}

int metric_data_manager_credential_callback(const CREDENTIAL_MSG_T* credential,
                                            void* manager) noexcept {
    if (manager == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    return metric_registration_credential_callback(
        credential, &static_cast<METRIC_DATA_MANAGER_T*>(manager)->registration);
}
