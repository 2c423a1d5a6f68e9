// Any request text yields a reply that is valid JSON and UTF-8, fits the reply buffer and
// carries a known code; every queued sample is well formed; and the one-pass request reader
// agrees with cJSON on what is JSON and on the top-level keys the daemon reads.
#include <cjson/cJSON.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "json_kind.h"
#include "logger.h"
#include "metric_reply.h"
#include "raii.h"
#include "service_monitor_metric_manager.h"
#include "service_monitor_metric_request.h"

namespace {

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
    const std::optional<MetricReply> parsed = parseMetricReply(reply);
    if (!parsed || !isKnownCode(parsed->code) || (parsed->code == kMetricCodeOk) != (result == 0)) {
        abort();
    }
}

void drainQueue(MSG_QUEUE_T* queue) {
    MSG_NODE_T* node = nullptr;
    while (popMessageFromQueue(queue, 0, &node) == 0) {
        const std::unique_ptr<METRIC_BATCH_T> batch = takeMetricBatch(node);
        for (const METRIC_MESSAGE_T& message : batch->messages) {
            if (message.moduleName[sizeof message.moduleName - 1] != '\0' ||
                message.metricName[sizeof message.metricName - 1] != '\0' ||
                message.collectRule < COLLECT_RULE_UPDATE ||
                message.collectRule > COLLECT_RULE_AVG || !std::isfinite(message.value)) {
                abort();
            }
        }
    }
}

void checkReaderAgainstCJson(const char* text) {
    METRIC_REQUEST_T request;
    const bool read = read_metric_request(text, &request);
    const CJsonPtr tree(cJSON_Parse(text));
    if (read != (tree != nullptr)) abort();
    if (!read || !cJSON_IsObject(tree.get())) return;
    const auto item = [&tree](const char* key) { return cJSON_GetObjectItem(tree.get(), key); };
    const cJSON* ts = item("ts");
    if (request.ts.kind != kindOf(ts) || request.id.kind != kindOf(item("id")) ||
        request.moduleName.kind != kindOf(item("moduleName")) ||
        request.params.kind != kindOf(item("params"))) {
        abort();
    }
    if (cJSON_IsNumber(ts) && !(request.ts.number == ts->valuedouble ||
                                (std::isnan(request.ts.number) && std::isnan(ts->valuedouble)))) {
        abort();
    }
}

METRIC_DATA_MANAGER_T* manager() {
    static METRIC_DATA_MANAGER_T m;
    static const bool ready = [] {
        log_init("fuzz", 0, 3, 4);  // quiet
        (void)initMessageQueue(&m.ingest.metricDataQueue);
        m.period.periodStartMs = 0;
        m.period.periodEndMs = UINT64_MAX / 2;  // every plausible ts is in the period
        m.period.periodMs = 60000;
        m.enable = 1;
        m.registration.dependReady = 1;
        return true;
    }();
    (void)ready;
    return &m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // adds the terminator
    checkReaderAgainstCJson(text.c_str());
    char reply[kMetricReplyBufSize];
    const int result = post_metric_data(manager(), text.c_str(), reply);
    checkReply(reply, result);
    drainQueue(&manager()->ingest.metricDataQueue);
    return 0;
}
