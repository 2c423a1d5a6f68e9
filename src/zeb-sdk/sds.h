// Growable NUL-terminated text buffers. The handle points at the text; a small header
// (len, free) sits just in front of it, so a handle reads like any C string.
#ifndef ZEB_SDK_SDS_H
#define ZEB_SDK_SDS_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>

using sds = char*;

// New empty string with `room` bytes free; null when memory is short.
[[nodiscard]] sds sdsWithRoom(size_t room);
// Releases the whole block; null is ignored.
void sdsRelease(sds s);
[[nodiscard]] size_t sdsLength(const char* s);
[[nodiscard]] size_t sdsRoom(const char* s);

// The operations below may move the string: use the returned handle from then on.
// On null (memory short) the old string is unchanged and still owned by the caller.
[[nodiscard]] sds sdsReserve(sds s, size_t extra);
[[nodiscard]] sds sdsAppendLen(sds s, const void* bytes, size_t count);
// A null string or null text returns the string unchanged.
[[nodiscard]] sds sdsAppend(sds s, const char* text);
[[nodiscard]] sds sdsAppendChar(sds s, char c);
[[nodiscard]] sds sdsAppendPrintf(sds s, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
[[nodiscard]] sds sdsAppendVprintf(sds s, const char* fmt, va_list ap);

struct SdsDeleter {
    void operator()(char* s) const noexcept { sdsRelease(s); }
};
// Owning handle. Appends go through sdsUpdate so that a failed append keeps the old text.
using SdsPtr = std::unique_ptr<char, SdsDeleter>;

// Replaces the owned string with `grown` when non-null; false when the append failed.
[[nodiscard]] inline bool sdsUpdate(SdsPtr& owner, sds grown) noexcept {
    if (grown == nullptr) return false;
    if (grown != owner.get()) {
        (void)owner.release();  // the block was moved by realloc, the old pointer is gone
        owner.reset(grown);
    }
    return true;
}

#endif
