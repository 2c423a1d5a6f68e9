// The shape of every reply to a metric post: UTF-8 JSON (what the bus accepts in a string)
// that fits the reply buffer, with exactly "id", "code" and "message" in this order.
#ifndef SM_TEST_METRIC_REPLY_H
#define SM_TEST_METRIC_REPLY_H

#include <cjson/cJSON.h>

#include <cstring>
#include <optional>
#include <string>

#include "raii.h"
#include "service_monitor_metric_reply.h"

struct MetricReply {
    std::string id;
    int code = -1;
    std::string message;
};

inline bool isUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

// The reply's members, or nothing when it is not of that shape.
inline std::optional<MetricReply> parseMetricReply(const char* text) {
    if (strnlen(text, kMetricReplyBufSize) >= kMetricReplyBufSize || !isUtf8(text)) return {};
    const char* end = nullptr;
    const CJsonPtr json(cJSON_ParseWithOpts(text, &end, 1));
    const cJSON* const id = json ? json->child : nullptr;
    const cJSON* const code = id != nullptr ? id->next : nullptr;
    const cJSON* const message = code != nullptr ? code->next : nullptr;
    if (!cJSON_IsString(id) || strcmp(id->string, "id") != 0 || !cJSON_IsNumber(code) ||
        strcmp(code->string, "code") != 0 || !cJSON_IsString(message) ||
        strcmp(message->string, "message") != 0 || message->next != nullptr) {
        return {};
    }
    return MetricReply{id->valuestring, code->valueint, message->valuestring};
}

#endif
