#include "sds.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

struct SdsHeader {
    uint32_t len;
    uint32_t free;
};

constexpr size_t kMaxPrealloc = 1024 * 1024;
constexpr size_t kStackFormatBuf = 1024;
constexpr size_t kMaxSize = std::numeric_limits<uint32_t>::max();

SdsHeader* header(const char* s) {
    return reinterpret_cast<SdsHeader*>(const_cast<char*>(s) - sizeof(SdsHeader));
}

// Formats into buf of `size` bytes; false when the output may have been cut.
bool formatFits(char* buf, size_t size, const char* fmt, va_list ap) {
    buf[size - 2] = '\0';
    va_list copy;
    va_copy(copy, ap);
    vsnprintf(buf, size, fmt, copy);
    va_end(copy);
    return buf[size - 2] == '\0';
}

}  // namespace

sds sdsWithRoom(size_t room) {
    if (room > kMaxSize) return nullptr;
    auto* h = static_cast<SdsHeader*>(malloc(sizeof(SdsHeader) + room + 1));
    if (h == nullptr) return nullptr;
    h->len = 0;
    h->free = static_cast<uint32_t>(room);
    char* s = reinterpret_cast<char*>(h + 1);
    s[0] = '\0';
    return s;
}

void sdsRelease(sds s) {
    if (s != nullptr) free(header(s));
}

size_t sdsLength(const char* s) { return header(s)->len; }

size_t sdsRoom(const char* s) { return header(s)->free; }

sds sdsReserve(sds s, size_t extra) {
    SdsHeader* h = header(s);
    if (h->free >= extra) return s;
    if (extra > kMaxSize - h->len) return nullptr;
    const size_t n = h->len + extra;
    const size_t newSize = n < kMaxPrealloc ? 2 * n : n + kMaxPrealloc;
    if (newSize > kMaxSize) return nullptr;
    auto* grown = static_cast<SdsHeader*>(realloc(h, sizeof(SdsHeader) + newSize + 1));
    if (grown == nullptr) return nullptr;
    grown->free = static_cast<uint32_t>(newSize - grown->len);
    return reinterpret_cast<char*>(grown + 1);
}

sds sdsAppendLen(sds s, const void* bytes, size_t count) {
    s = sdsReserve(s, count);
    if (s == nullptr) return nullptr;
    SdsHeader* h = header(s);
    if (count > 0) memcpy(s + h->len, bytes, count);
    h->len += static_cast<uint32_t>(count);
    h->free -= static_cast<uint32_t>(count);
    s[h->len] = '\0';
    return s;
}

sds sdsAppend(sds s, const char* text) {
    if (s == nullptr || text == nullptr) return s;
    return sdsAppendLen(s, text, strlen(text));
}

sds sdsAppendChar(sds s, char c) { return sdsAppendLen(s, &c, 1); }

sds sdsAppendPrintf(sds s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    s = sdsAppendVprintf(s, fmt, ap);
    va_end(ap);
    return s;
}

sds sdsAppendVprintf(sds s, const char* fmt, va_list ap) {
    char stackBuf[kStackFormatBuf];
    size_t size = sizeof stackBuf;
    char* buf = stackBuf;
    if (2 * strlen(fmt) > size) {
        size = 2 * strlen(fmt);
        buf = static_cast<char*>(malloc(size));
        if (buf == nullptr) return nullptr;
    }
    while (!formatFits(buf, size, fmt, ap)) {
        if (buf != stackBuf) free(buf);
        size *= 2;
        buf = static_cast<char*>(malloc(size));
        if (buf == nullptr) return nullptr;
    }
    sds result = sdsAppend(s, buf);
    if (buf != stackBuf) free(buf);
    return result;
}
