// Any request text yields a reply that is valid JSON and UTF-8, fits the reply buffer and
// carries a known code; every queued sample is well formed.
#include <cjson/cJSON.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "logger.h"
#include "raii.h"
#include "service_monitor_metric_manager.h"

namespace {

bool isUtf8(const char* text) {
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s != 0;) {
        const unsigned char c = *s;
        const size_t n = c < 0x80 ? 1
                         : (c >> 5) == 6 ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((s[k] & 0xC0) != 0x80) return false;
        }
        s += n;
    }
    return true;
}

bool isKnownCode(int code) {
    switch (code) {
        case kMetricCodeOk:
        case kMetricCodeEmpty:
        case kMetricCodeBadInput:
        case kMetricCodeNoMemory:
        case kMetricCodeDisabled:
        case kMetricCodeNotReady:
            return true;
        default:
            return false;
    }
}

void checkReply(const char* reply, int result) {
    if (strnlen(reply, kMetricReplyBufSize) >= kMetricReplyBufSize || !isUtf8(reply)) abort();
    const char* end = nullptr;
    const CJsonPtr json(cJSON_ParseWithOpts(reply, &end, 1));
    if (!json) abort();
    const cJSON* const code = cJSON_GetObjectItemCaseSensitive(json.get(), "code");
    if (!cJSON_IsNumber(code) || !isKnownCode(code->valueint)) abort();
    if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(json.get(), "id"))) abort();
    if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(json.get(), "message"))) abort();
    if ((code->valueint == kMetricCodeOk) != (result == 0)) abort();
}

void drainQueue(MSG_QUEUE_T* queue) {
    MSG_NODE_T* node = nullptr;
    while (popMessageFromQueue(queue, 0, &node) == 0) {
        const std::unique_ptr<METRIC_MESSAGE_T> message = takeMetricMessage(node);
        if (message->moduleName[sizeof message->moduleName - 1] != '\0' ||
            message->metricName[sizeof message->metricName - 1] != '\0' ||
            message->collectRule < COLLECT_RULE_UPDATE || message->collectRule > COLLECT_RULE_AVG) {
            abort();
        }
    }
}

METRIC_DATA_MANAGER_T* manager() {
    static METRIC_DATA_MANAGER_T m;
    static const bool ready = [] {
        log_init("fuzz", 0, 3, 4);  // quiet
        (void)initMessageQueue(&m.metricDataQueue);
        m.periodStartMs = 0;
        m.periodEndMs = UINT64_MAX / 2;  // every plausible ts is in the period
        m.periodMs = 60000;
        m.enable = 1;
        m.dependReady = 1;
        return true;
    }();
    (void)ready;
    return &m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // adds the terminator
    char reply[kMetricReplyBufSize];
    const int result = post_metric_data(manager(), text.c_str(), reply);
    checkReply(reply, result);
    drainQueue(&manager()->metricDataQueue);
    return 0;
}
