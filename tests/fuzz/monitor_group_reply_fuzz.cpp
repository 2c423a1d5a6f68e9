// Feeds arbitrary reply bodies to the parsers of the monitor-group calls. The first byte
// picks the parser and the output buffer size; the rest is the body.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "logger.h"
#include "zeb-sdk-internal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log_init("fuzz", 0, 3, 4);  // parsers log every rejection; keep the run quiet
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t outSize = (data[0] >> 2) % 65;  // 0..64, like the callers' buffers
    char out[64 + 8];
    memset(out, 0x5A, sizeof out);
    switch (data[0] & 3) {
    case 0:
        (void)cloudSdkParseGroupIdReply(body.c_str(), "pxr::service-monitor", out, outSize);
        break;
    case 1:
        (void)cloudSdkParseCreateGroupReply(body.c_str(), out, outSize);
        break;
    case 2:
        (void)cloudSdkParseCodeReply(body.c_str());
        break;
    default:
        (void)cloudSdkParseGroupInstanceReply(body.c_str(), out, outSize);
        break;
    }
    // Nothing may be written past the size the caller gave.
    for (size_t i = outSize; i < sizeof out; ++i) {
        if (static_cast<unsigned char>(out[i]) != 0x5A) __builtin_trap();
    }
    return 0;
}
