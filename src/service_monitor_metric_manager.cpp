#include "service_monitor_metric_manager.h"

#include <cjson/cJSON.h>
#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "common.h"
#include "raii.h"

PRE_TASK_T g_preTasks[kPreTaskNum] = {
    {{false}, "GetProductKey", nullptr, 15000, nullptr},
    {{false}, "GetDeviceName", nullptr, 15000, nullptr},
    {{false}, "InitZEBSDK", nullptr, 15000, nullptr},
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

void _copyName(char* dst, size_t size, const char* src) {
    const size_t len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

const char* _stringItem(const cJSON* object, const char* key) {
    const cJSON* const item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// 0 for a text that names no collect rule.
uint32_t _parseCollectRule(const char* text) {
    if (strcasecmp(text, "update") == 0) return COLLECT_RULE_UPDATE;
    if (strcasecmp(text, "accumulate") == 0) return COLLECT_RULE_ACCUMULATE;
    if (strcasecmp(text, "avg") == 0) return COLLECT_RULE_AVG;
    return 0;
}

std::unique_ptr<METRIC_MESSAGE_T> _createMetricMessage() noexcept {
    try {
        return std::make_unique<METRIC_MESSAGE_T>();
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

// Queues one params entry. 0, or -1 with out set to the entry's error.
int _queueEntry(METRIC_DATA_MANAGER_T* manager, const char* moduleName, const cJSON* entry,
                INGEST_RESULT_T* out) {
    out->code = kMetricCodeBadInput;
    const char* const metricName = _stringItem(entry, "metricName");
    if (metricName == nullptr) {
        return out->set(kMetricCodeBadInput, "json object(metricName) is invalid");
    }
    const cJSON* const value = cJSON_GetObjectItem(entry, "value");
    if (!cJSON_IsNumber(value)) {
        return out->set(kMetricCodeBadInput, "json object(value) is invalid");
    }
    const char* const ruleText = _stringItem(entry, "collectRule");
    if (ruleText == nullptr) {
        return out->set(kMetricCodeBadInput, "json object(collectRule) is invalid");
    }

    std::unique_ptr<METRIC_MESSAGE_T> message = _createMetricMessage();
    if (!message) return out->set(kMetricCodeNoMemory, "create metric message failed");
    _copyName(message->moduleName, sizeof message->moduleName, moduleName);
    _copyName(message->metricName, sizeof message->metricName, metricName);
    message->value = value->valuedouble;
    message->collectRule = _parseCollectRule(ruleText);
    if (message->collectRule == 0) {
        return out->set(kMetricCodeBadInput, "invalid collect rule:%s", ruleText);
    }
    MSG_NODE_T* const node = createMessageNode(message.get());
    if (node == nullptr) return out->set(kMetricCodeNoMemory, "create message failed");
    message.release();  // the queue holds it now
    (void)pushMessageToQueue(&manager->metricDataQueue, node);
    out->code = kMetricCodeOk;
    return 0;
}

// Entries are queued one by one: those before a failing entry stay queued.
int _ingestRequest(METRIC_DATA_MANAGER_T* manager, const cJSON* root, INGEST_RESULT_T* out) {
    const cJSON* const ts = cJSON_GetObjectItem(root, "ts");
    if (!cJSON_IsNumber(ts)) return out->set(kMetricCodeBadInput, "json object(ts) is invalid");
    if (!_tsInPeriod(manager, ts->valuedouble, out)) return -1;
    const char* const moduleName = _stringItem(root, "moduleName");
    if (moduleName == nullptr) {
        return out->set(kMetricCodeBadInput, "json object(moduleName) is invalid");
    }
    const cJSON* const params = cJSON_GetObjectItem(root, "params");
    if (!cJSON_IsArray(params)) {
        return out->set(kMetricCodeBadInput, "json object(params) is invalid");
    }
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, params) {
        if (_queueEntry(manager, moduleName, entry, out) != 0) return -1;
    }
    return 0;
}

}  // namespace

int post_metric_data(METRIC_DATA_MANAGER_T* manager, const char* jsonText, char* reply) {
    INGEST_RESULT_T out;
    CJsonPtr root;
    const char* id = "";
    if (_acceptsRequests(manager, jsonText, &out)) {
        root.reset(cJSON_Parse(jsonText));
        if (!root) {
            (void)out.set(kMetricCodeBadInput, "invalid json format");
        } else {
            const char* const requestId = _stringItem(root.get(), "id");
            id = requestId != nullptr ? requestId : "";
            (void)_ingestRequest(manager, root.get(), &out);
        }
    }
    if (reply == nullptr ||
        package_reply_message(reply, kMetricReplyBufSize, id, out.message, out.code) != 0) {
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

std::unique_ptr<METRIC_MESSAGE_T> takeMetricMessage(MSG_NODE_T* node) {
    if (node == nullptr) return nullptr;
    std::unique_ptr<METRIC_MESSAGE_T> message(static_cast<METRIC_MESSAGE_T*>(node->payload));
    freeMessageNode(node);
    return message;
}
