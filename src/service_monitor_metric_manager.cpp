#include "service_monitor_metric_manager.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message_credential.h"
#include "raii.h"
#include "service_monitor_metric_request.h"
#include "zeb-sdk/zeb-sdk.h"

PRE_TASK_T g_preTasks[kPreTaskNum] = {
    {{false}, "GetProductKey", GetProductKeyTasK, 15000, {nullptr}},
    {{false}, "GetDeviceName", GetDeviceNameTask, 15000, {nullptr}},
    {{false}, "InitZEBSDK", InitZEBSDKTask, 15000, {nullptr}},
};

// ---------------------------------------------------------------------------------------
// Reply
// ---------------------------------------------------------------------------------------

namespace {

// Length of the well-formed UTF-8 sequence at s, or 0 when the bytes there are not one.
size_t _utf8SequenceLength(const unsigned char* s) {
    const unsigned char c = s[0];
    size_t n = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if ((c & 0xE0U) == 0xC0U) {
        n = 2, cp = c & 0x1FU, min = 0x80;
    } else if ((c & 0xF0U) == 0xE0U) {
        n = 3, cp = c & 0x0FU, min = 0x800;
    } else if ((c & 0xF8U) == 0xF0U) {
        n = 4, cp = c & 0x07U, min = 0x10000;
    } else {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {  // stops at the terminator, which is no continuation
        if ((s[i] & 0xC0U) != 0x80U) return 0;
        cp = (cp << 6) | (s[i] & 0x3FU);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// JSON string form of the character at s into unit (at most 6 bytes); *consumed gets the
// source bytes it stands for. Bytes that are not UTF-8 become U+FFFD, so the reply stays
// valid UTF-8 for the bus.
size_t _escapeUnit(const unsigned char* s, char* unit, size_t* consumed) {
    const unsigned char c = s[0];
    *consumed = 1;
    const char* shortForm = nullptr;
    switch (c) {
        case '"': shortForm = "\\\""; break;
        case '\\': shortForm = "\\\\"; break;
        case '\b': shortForm = "\\b"; break;
        case '\f': shortForm = "\\f"; break;
        case '\n': shortForm = "\\n"; break;
        case '\r': shortForm = "\\r"; break;
        case '\t': shortForm = "\\t"; break;
        default: break;
    }
    if (shortForm != nullptr) return static_cast<size_t>(snprintf(unit, 8, "%s", shortForm));
    if (c < 0x20U) return static_cast<size_t>(snprintf(unit, 8, "\\u%04x", c));
    const size_t n = c < 0x80U ? 1 : _utf8SequenceLength(s);
    if (n == 0) return static_cast<size_t>(snprintf(unit, 8, "\\ufffd"));
    memcpy(unit, s, n);
    *consumed = n;
    return n;
}

// Escapes src, appending whole units while they fit in limit bytes at dst + *len (dst
// null: measure only). The length of the complete escaped text.
size_t _appendEscaped(const char* src, size_t limit, char* dst, size_t* len) {
    size_t total = 0;
    bool stopped = dst == nullptr;
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(src); *s != 0;) {
        char unit[8];
        size_t consumed = 0;
        const size_t n = _escapeUnit(s, unit, &consumed);
        if (!stopped && total + n <= limit) {
            memcpy(dst + *len, unit, n);
            *len += n;
        } else {
            stopped = true;
        }
        total += n;
        s += consumed;
    }
    return total;
}

void _appendRaw(char* dst, size_t* len, const char* text) {
    const size_t n = strlen(text);
    memcpy(dst + *len, text, n);
    *len += n;
}

}  // namespace

int package_reply_message(char* dst, size_t size, const char* id, const char* message,
                          int code) {
    if (dst == nullptr || size == 0) return -1;
    id = id != nullptr ? id : "";
    message = message != nullptr ? message : "";
    char middle[48];
    snprintf(middle, sizeof middle, "\",\"code\":%d, \"message\":\"", code);
    static const char kHead[] = "{\"id\":\"";
    static const char kTail[] = "\"}";
    const size_t fixed = strlen(kHead) + strlen(middle) + strlen(kTail);
    const size_t idLen = _appendEscaped(id, SIZE_MAX, nullptr, nullptr);
    const size_t messageLen = _appendEscaped(message, SIZE_MAX, nullptr, nullptr);
    const size_t full = fixed + idLen + messageLen;
    const size_t room = size - 1;
    int result = 0;
    size_t messageRoom = messageLen;
    if (full > room) {
        SM_LOG(3, "reply message was trunccated!len:%d,BufSize:%d\n", static_cast<int>(full),
               static_cast<int>(size));
        result = -1;
        if (fixed > room) {
            dst[0] = '\0';
            return -1;
        }
        messageRoom = std::min(messageLen, room - fixed);  // the id gives way first
    }
    size_t len = 0;
    _appendRaw(dst, &len, kHead);
    const size_t idRoom = room - fixed - std::min(messageLen, messageRoom);
    _appendEscaped(id, idRoom, dst, &len);
    _appendRaw(dst, &len, middle);
    _appendEscaped(message, messageRoom, dst, &len);
    _appendRaw(dst, &len, kTail);
    dst[len] = '\0';
    return result;
}

// ---------------------------------------------------------------------------------------
// Ingestion
// ---------------------------------------------------------------------------------------

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
    char text[N + 4];  // room to see whether the cut falls inside a character
    (void)json_string_copy(value, text, sizeof text);
    _copyName(dst, N, text);
}

// 0 for a text that names no collect rule.
uint32_t _parseCollectRule(const char* text) {
    if (strcasecmp(text, "update") == 0) return COLLECT_RULE_UPDATE;
    if (strcasecmp(text, "accumulate") == 0) return COLLECT_RULE_ACCUMULATE;
    if (strcasecmp(text, "avg") == 0) return COLLECT_RULE_AVG;
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

// What a queued batch holds in memory: the record and its entries, each with the
// allocator's own header.
constexpr size_t kAllocOverhead = 16;
constexpr size_t kBatchFixedCost = sizeof(METRIC_BATCH_T) + 2 * kAllocOverhead;

size_t _batchCost(const METRIC_BATCH_T& batch) {
    return kBatchFixedCost + batch.messages.capacity() * sizeof(METRIC_MESSAGE_T);
}

// The most entries one request may have: a batch of more would cost more than the whole
// queue bound, so it could never be taken, however empty the queue.
size_t _maxBatchEntries(const MSG_QUEUE_T& queue) {
    if (queue.limitBytes <= kBatchFixedCost) return 0;
    return (queue.limitBytes - kBatchFixedCost) / sizeof(METRIC_MESSAGE_T);
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
    if (manager->dependReady.load() == 0 && check_dependent_service(manager) == 0) {
        (void)out->set(kMetricCodeNotReady, "the dependent service are not ready");
        return false;
    }
    return true;
}

bool _tsInPeriod(METRIC_DATA_MANAGER_T* manager, double ts, INGEST_RESULT_T* out) {
    uint64_t start = 0;
    uint64_t end = 0;
    {
        const std::lock_guard<std::mutex> lock(manager->mutex);
        start = manager->periodStartMs;
        end = manager->periodEndMs;
    }
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

// Checks one params entry and adds its sample to the batch. 0, or -1 with out set to the
// entry's error.
int _addEntry(METRIC_BATCH_T* batch, const JSON_VALUE_T& moduleName, const METRIC_ENTRY_T& entry,
              INGEST_RESULT_T* out) {
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
    char ruleText[kMessageBufSize];
    (void)json_string_copy(entry.collectRule, ruleText, sizeof ruleText);
    const uint32_t rule = _parseCollectRule(ruleText);
    if (rule == 0) return out->set(kMetricCodeBadInput, "invalid collect rule:%s", ruleText);
    if (batch->messages.size() == batch->messages.capacity()) {
        return out->set(kMetricCodeNoMemory, "create metric message failed");
    }
    batch->messages.emplace_back();
    METRIC_MESSAGE_T& message = batch->messages.back();
    _copyNameField(message.moduleName, moduleName);
    _copyNameField(message.metricName, entry.metricName);
    message.value = entry.value.number;
    message.collectRule = rule;
    out->code = kMetricCodeOk;
    return 0;
}

// Queues the batch whole (one lock, one wake-up), or refuses it whole when the queue
// cannot take it. An empty batch is dropped. 0, or -1 with out set.
int _queueBatch(METRIC_DATA_MANAGER_T* manager, std::unique_ptr<METRIC_BATCH_T> batch,
                INGEST_RESULT_T* out) {
    const size_t samples = batch->messages.size();
    if (samples == 0) return 0;
    batch->node.cost = _batchCost(*batch);
    if (tryPushMessageToQueue(&manager->metricDataQueue, &batch->node) != 0) {
        return out->set(kMetricCodeNoMemory, "metric queue is full");
    }
    batch.release();  // the queue holds it now
    manager->counts.accepted.fetch_add(samples, std::memory_order_relaxed);
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
    const size_t maxEntries = _maxBatchEntries(manager->metricDataQueue);
    if (request.params.count > maxEntries) {
        return out->set(kMetricCodeBadInput, "too many params: %zu, at most %zu per request",
                        request.params.count, maxEntries);
    }
    std::unique_ptr<METRIC_BATCH_T> batch = _createBatch(request.params.count, enableEpoch);
    if (!batch) return out->set(kMetricCodeNoMemory, "create message failed");
    METRIC_ENTRY_CURSOR_T cursor;
    int result = 0;
    for (const METRIC_ENTRY_T* entry = next_metric_entry(request, &cursor);
         result == 0 && entry != nullptr; entry = next_metric_entry(request, &cursor)) {
        result = _addEntry(batch.get(), request.moduleName, *entry, out);
    }
    if (_queueBatch(manager, std::move(batch), out) != 0) return -1;
    return result;
}

void _copyId(const JSON_VALUE_T& value, std::string* id) {
    try {
        id->resize(json_string_copy(value, nullptr, 0));
        (void)json_string_copy(value, &(*id)[0], id->size() + 1);
    } catch (const std::bad_alloc&) {
        id->clear();  // the reply goes out with an empty id
    }
}

// Counts the request's outcome for the period's summary line.
void _countRefusal(METRIC_DATA_MANAGER_T* manager, int code) {
    for (size_t i = 0; i < kMetricRefusalCodes.size(); ++i) {
        if (kMetricRefusalCodes[i] == code) {
            manager->counts.refused[i].fetch_add(1, std::memory_order_relaxed);
        }
    }
}

}  // namespace

int post_metric_data(METRIC_DATA_MANAGER_T* manager, const char* jsonText, char* reply) {
    INGEST_RESULT_T out;
    std::string id;
    // Read before the switch is checked: a disable after this point drops the batch.
    const uint64_t enableEpoch = manager != nullptr ? manager->enableEpoch.load() : 0;
    if (_acceptsRequests(manager, jsonText, &out)) {
        METRIC_REQUEST_T request;
        if (!read_metric_request(jsonText, &request)) {
            (void)out.set(kMetricCodeBadInput, "invalid json format");
        } else {
            if (request.id.kind == JsonKind::kString) _copyId(request.id, &id);
            (void)_ingestRequest(manager, request, enableEpoch, &out);
        }
    }
    if (manager != nullptr) _countRefusal(manager, out.code);
    if (reply == nullptr ||
        package_reply_message(reply, kMetricReplyBufSize, id.c_str(), out.message, out.code) != 0) {
        SM_LOG(3, "generate reply message failed\n");
    }
    return out.code == kMetricCodeOk ? 0 : -1;
}

int check_dependent_service(METRIC_DATA_MANAGER_T* manager) {
    for (const PRE_TASK_T& task : g_preTasks) {
        if (!task.done.load()) {
            SM_LOG(2, "service(%s) abnormal\n", task.name);
            return 0;
        }
    }
    if (manager != nullptr) manager->dependReady.store(1);
    return 1;
}

std::unique_ptr<METRIC_BATCH_T> takeMetricBatch(MSG_NODE_T* node) {
    if (node == nullptr) return nullptr;
    return std::unique_ptr<METRIC_BATCH_T>(static_cast<METRIC_BATCH_T*>(node->payload));
}

// ---- Manager thread, pre-tasks and upload -------------------------------------------

namespace {

constexpr int kCloudTimeoutSeconds = 10;
constexpr const char* kGroupName = "pxr::service-monitor";
constexpr const char* kInstanceCategory = "K8S_POD";

int _readConfig(METRIC_DATA_MANAGER_T* manager, const char* key, char* buf, int size) {
    return cfgGetConfig(manager->cfgConn, key, buf, size);
}

// Guards the rows' done flags together with the generation, so that a stop cannot come
// between a run's check of the generation and its mark. Never held across a call out.
std::mutex g_preTaskLock;
uint64_t g_preTaskGeneration = 0;

// Stores one of the manager's name fields under namesLock, cut to its size.
template <size_t N>
void _storeName(METRIC_DATA_MANAGER_T* m, char (&field)[N], const char* value) {
    const std::lock_guard<std::mutex> lock(m->namesLock);
    const size_t len = std::min(strlen(value), N - 1);
    memcpy(field, value, len);
    field[len] = '\0';
}

template <size_t N>
int _getKeyTask(TASK_NODE_T* task, PRE_TASK_T* row, const char* key,
                char (METRIC_DATA_MANAGER_T::*member)[N]) {
    const uint64_t generation = pre_task_generation();
    METRIC_DATA_MANAGER_T* m = row->manager.load();
    char value[N] = {};
    if (_readConfig(m, key, value, N) != 0) {
        SM_LOG(2, "get %s failed\n", key);
        return -1;
    }
    _storeName(m, m->*member, value);
    if (!mark_pre_task_done(task, row, generation)) return -1;
    SM_LOG(1, "get %s OK\n", key);
    return 0;
}

// The monitor group exists (found or created) and its id is in groupId.
// Shutdown does not wait for the registration's remaining management calls.
bool _registrationGoesOn() { return !taskSchedulerStopping(); }

bool _ensureGroup(METRIC_DATA_MANAGER_T* m, CloudSdkClient* sdk) {
    char groupId[sizeof m->groupId] = {};
    if (CloudSdkGetGroupID(sdk, kGroupName, kCloudTimeoutSeconds, groupId, sizeof groupId) == 0 ||
        (_registrationGoesOn() &&
         CloudSdkCreateGroup(sdk, kGroupName, kCloudTimeoutSeconds, groupId, sizeof groupId) == 0)) {
        _storeName(m, m->groupId, groupId);
        return true;
    }
    SM_LOG(2, "create group(%s) failed\n", kGroupName);
    return false;
}

// The instance names as formed from the manager's names, and the group they belong to.
struct InstanceNames {
    char groupId[64];
    char name[128];
    char id[128];
};

InstanceNames _formInstanceNames(METRIC_DATA_MANAGER_T* m) {
    InstanceNames names {};
    const std::lock_guard<std::mutex> lock(m->namesLock);
    memcpy(names.groupId, m->groupId, sizeof names.groupId);
    // Both names are cut to their 128-byte fields when the account id is long.
    const int nameLen = snprintf(names.name, sizeof names.name, "pxr:service-monitor::%s:%s/%s-NAME",
                                 m->accountId, m->productKey, m->deviceName);
    const int idLen = snprintf(names.id, sizeof names.id, "pxr:service-monitor::%s:%s/%s-ID",
                               m->accountId, m->productKey, m->deviceName);
    if (nameLen < 0 || idLen < 0) names.name[0] = names.id[0] = '\0';
    memcpy(m->instanceName, names.name, sizeof names.name);
    memcpy(m->instanceId, names.id, sizeof names.id);
    return names;
}

// This gateway is registered in the group (found, taking the name the service holds, or added).
bool _ensureInstance(METRIC_DATA_MANAGER_T* m, CloudSdkClient* sdk) {
    InstanceNames names = _formInstanceNames(m);
    if (CloudSdkGetGroupInstance(sdk, names.groupId, names.id, kCloudTimeoutSeconds, names.name,
                                 sizeof names.name) == 0) {
        _storeName(m, m->instanceName, names.name);
        return true;
    }
    if (_registrationGoesOn() &&
        CloudSdkAddGroupInstance(sdk, names.groupId, names.id, names.name, kInstanceCategory,
                                 kCloudTimeoutSeconds) == 0) {
        return true;
    }
    SM_LOG(2, "create group instance(%s/%s-%s) failed\n", names.groupId, names.name, names.id);
    return false;
}

// The SDK handle, created on first use with the stored credential.
CloudSdkClient* _ensureSdk(METRIC_DATA_MANAGER_T* m, const CREDENTIAL_MSG_T& credential) {
    CloudSdkClient* sdk = m->sdkHandle.load();
    if (sdk != nullptr) return sdk;
    sdk = CloudSdkInitIF(credential.accessKeyId, credential.accessKeySecret,
                         credential.securityToken, 0);
    if (sdk == nullptr) {
        SM_LOG(2, "zeb sdk init failed\n");
        return nullptr;
    }
    m->sdkHandle.store(sdk);
    // A stop that came while the handle was made found none to abort: abort it here, so
    // that shutdown never waits for this registration's management calls.
    if (m->stopRequested.load() && m->abortTransfers != nullptr) m->abortTransfers(sdk);
    return sdk;
}

}  // namespace

int GetProductKeyTasK(TASK_NODE_T* task, void* clientData) noexcept {
    auto* row = static_cast<PRE_TASK_T*>(clientData);
    return _getKeyTask(task, row, "gw_system_productkey", &METRIC_DATA_MANAGER_T::productKey);
}

int GetDeviceNameTask(TASK_NODE_T* task, void* clientData) noexcept {
    auto* row = static_cast<PRE_TASK_T*>(clientData);
    return _getKeyTask(task, row, "gw_system_devicename", &METRIC_DATA_MANAGER_T::deviceName);
}

int InitZEBSDKTask(TASK_NODE_T* task, void* clientData) noexcept {
    auto* row = static_cast<PRE_TASK_T*>(clientData);
    const uint64_t generation = pre_task_generation();
    METRIC_DATA_MANAGER_T* m = row->manager.load();
    CREDENTIAL_MSG_T credential {};
    if (credential_get_msg(&credential) != 0) {
        SM_LOG(0, "credential get msg failed\n");
        return -1;
    }
    CloudSdkClient* sdk = _ensureSdk(m, credential);
    if (sdk == nullptr) return -1;
    char accountId[sizeof m->accountId] = {};
    if (_readConfig(m, "gw_account_id", accountId, sizeof accountId) != 0) {
        SM_LOG(2, "get config(%s) failed\n", "gw_account_id");
        return -1;
    }
    _storeName(m, m->accountId, accountId);
    if (!_ensureGroup(m, sdk) || !_registrationGoesOn() || !_ensureInstance(m, sdk)) return -1;
    if (!mark_pre_task_done(task, row, generation)) return -1;
    SM_LOG(1, "init zeb sdk success\n");
    return 0;
}

namespace {

// Drops every queued batch. The samples they held.
uint64_t _discardQueued(METRIC_DATA_MANAGER_T* manager) {
    MSG_NODE_T* node = nullptr;
    uint64_t samples = 0;
    if (popAllMessagesFromQueue(&manager->metricDataQueue, 0, &node) != 0) return 0;
    while (node != nullptr) {
        MSG_NODE_T* const next = node->link.next;
        samples += takeMetricBatch(node)->messages.size();
        node = next;
    }
    return samples;
}

}  // namespace

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
    manager->cfgConn = cfgConn;
    manager->periodMs = periodMs;
    if (metric_data_manager_start(manager.get()) != 0) return nullptr;
    return manager.release();
}

int metric_data_manager_start(METRIC_DATA_MANAGER_T* manager) {
    if (initMessageQueue(&manager->metricDataQueue) != 0) {
        SM_LOG(3, "init metricDataQueue failed\n");
        return -1;
    }
    manager->metricDataQueue.limitBytes = kMetricQueueLimitBytes;
    manager->metricDataQueue.wakeBytes = kMetricQueueWakeBytes;
    manager->cache = metric_data_cache_init();
    if (manager->cache == nullptr) {
        SM_LOG(3, "init data cache failed\n");
        return -1;
    }
    metric_manager_use_defaults(manager);
    metric_period_anchor(manager);
    if (metric_manager_start_threads(manager) != 0) {
        metric_data_cache_deinit(manager->cache);
        manager->cache = nullptr;
        return -1;
    }
    return 0;
}

void metric_data_manager_deinit(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return;
    metric_data_manager_stop(manager);
    _discardQueued(manager);
    CloudSdkDeinitIF(manager->sdkHandle.exchange(nullptr));
    metric_data_cache_deinit(manager->cache);
    delete manager;
}

int metric_data_manager_enable(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return -1;
    manager->enable = 1;
    if (start_pre_task(manager) != 0) {
        SM_LOG(3, "start pre_task failed\n");
        return -1;
    }
    return 0;
}

int metric_data_manager_disable(METRIC_DATA_MANAGER_T* manager) {
    if (manager == nullptr) return -1;
    manager->enable = 0;
    uint64_t dropped = 0;
    {
        // The manager thread checks the epoch under this lock before each batch it
        // merges, so nothing taken before this point reaches the cache afterwards.
        const std::lock_guard<std::mutex> lock(manager->cacheLock);
        manager->enableEpoch.fetch_add(1);
        dropped = metric_data_cache_samples(manager->cache);
        clear_metric_data(manager->cache);
    }
    dropped += _discardQueued(manager);  // samples not yet merged belong to the dropped period too
    manager->counts.droppedByDisable.fetch_add(dropped, std::memory_order_relaxed);
    stop_pre_task(manager);
    return 0;
}

int metric_data_manager_update_credential(METRIC_DATA_MANAGER_T* manager, const char* accessKeyId,
                                          const char* accessKeySecret, const char* securityToken) {
    if (manager == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    CloudSdkClient* sdk = manager->sdkHandle.load();
    if (sdk == nullptr) return -1;
    return CloudSdkUpdateCredential(sdk, accessKeyId, accessKeySecret, securityToken);
}

int metric_data_manager_credential_callback(const CREDENTIAL_MSG_T* credential, void* manager) noexcept {
    return metric_data_manager_update_credential(static_cast<METRIC_DATA_MANAGER_T*>(manager),
                                                 credential->accessKeyId,
                                                 credential->accessKeySecret,
                                                 credential->securityToken) != 0
               ? -1
               : 0;
}

int start_pre_task(METRIC_DATA_MANAGER_T* manager) {
    manager->dependReady = 0;
    for (PRE_TASK_T& row : g_preTasks) {
        row.done = false;
        row.manager.store(manager);
        if (findScheduleTask(row.name) != nullptr) continue;
        if (addScheduleTask(row.name, 0, row.intervalMs, -1, row.func, &row) == nullptr) {
            SM_LOG(3, "add task(%s) failed\n", row.name);
            return -1;
        }
    }
    return 0;
}

int stop_pre_task(METRIC_DATA_MANAGER_T* manager) {
    manager->dependReady = 0;
    {
        const std::lock_guard<std::mutex> lock(g_preTaskLock);
        ++g_preTaskGeneration;
        for (PRE_TASK_T& row : g_preTasks) row.done = false;
    }
    for (const PRE_TASK_T& row : g_preTasks) (void)removeScheduleTaskByName(row.name);
    return 0;
}

uint64_t pre_task_generation() {
    const std::lock_guard<std::mutex> lock(g_preTaskLock);
    return g_preTaskGeneration;
}

bool mark_pre_task_done(TASK_NODE_T* task, PRE_TASK_T* row, uint64_t generation) {
    {
        const std::lock_guard<std::mutex> lock(g_preTaskLock);
        if (generation != g_preTaskGeneration) return false;  // stopped meanwhile
        row->done = true;
    }
    removeScheduleTask(task);
    return true;
}

void hasten_pre_tasks() {
    const uint32_t now = 0;
    for (const PRE_TASK_T& row : g_preTasks) {
        if (row.done) continue;
        (void)updateScheduleTask(findScheduleTask(row.name), nullptr, &now, nullptr, nullptr,
                                 nullptr, nullptr);
    }
}
