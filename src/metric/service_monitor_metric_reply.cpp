#include "service_monitor_metric_reply.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common.h"

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
        // A run of printable ASCII other than the quote and the backslash stands for itself.
        const unsigned char* const run = s;
        while (*s >= 0x20U && *s < 0x80U && *s != '"' && *s != '\\') ++s;
        if (s != run) {
            const auto n = static_cast<size_t>(s - run);
            const size_t fit = stopped || total >= limit ? 0 : std::min(n, limit - total);
            if (fit != 0) {  // (never while measuring: dst and len are null then)
                memcpy(dst + *len, run, fit);
                *len += fit;
            }
            stopped = stopped || fit < n;
            total += n;
            continue;
        }
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

// The text between the id and the message: the code with its keys.
constexpr size_t kMiddleSize = 48;
void _formatMiddle(char (&middle)[kMiddleSize], int code) {
    static const char kCodeHead[] = "\",\"code\":";
    static const char kCodeTail[] = ", \"message\":\"";
    memcpy(middle, kCodeHead, sizeof kCodeHead - 1);
    char* const end = middle + kMiddleSize;
    char* const digits = std::to_chars(middle + sizeof kCodeHead - 1, end, code).ptr;
    memcpy(digits, kCodeTail, sizeof kCodeTail);  // with its terminator
}

}  // namespace

int package_reply_message(char* dst, size_t size, const char* id, const char* message,
                          int code) {
    if (dst == nullptr || size == 0) return -1;
    id = id != nullptr ? id : "";
    message = message != nullptr ? message : "";
    char middle[kMiddleSize];
    _formatMiddle(middle, code);
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
