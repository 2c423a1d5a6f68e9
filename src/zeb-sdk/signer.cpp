#include "signer.h"

#include <cstring>

#include "common.h"
#include "digest.h"

namespace {

struct SignerDescriptor {
    const char* method;
    const char* version;
};
constexpr SignerDescriptor kHmacSha1Signer = {"HMAC-SHA1", "1.0"};

constexpr size_t kEncodeRoom = 128;
constexpr size_t kQueryStringToSignRoom = 800;
constexpr char kTokenKey[] = "SecurityToken";
constexpr char kRedacted[] = "***";

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Length of the token value starting at value: up to the separator or the end.
size_t tokenValueLength(const char* value, const char* separator) {
    const char* end = strstr(value, separator);
    return end != nullptr ? static_cast<size_t>(end - value) : strlen(value);
}

// Whether position p of text starts a parameter (after "?", "&", "%26" or at the start).
bool atParameterStart(const char* text, const char* p) {
    if (p == text || p[-1] == '?' || p[-1] == '&') return true;
    return p - text >= 3 && strncmp(p - 3, "%26", 3) == 0;
}

// Logs the string to sign with the token hidden.
void logStringToSign(const char* stringToSign) {
    const SdsPtr redacted(signer_redact_token(stringToSign));
    SM_LOG(0, "stringToSign:%s\n", redacted ? redacted.get() : "");
}

}  // namespace

const char* signer_get_method() { return kHmacSha1Signer.method; }

const char* signer_get_version() { return kHmacSha1Signer.version; }

sds signer_percent_encode(const char* text) {
    if (text == nullptr) return nullptr;
    SdsPtr out(sdsWithRoom(kEncodeRoom));
    if (!out) return nullptr;
    static constexpr char kHex[] = "0123456789ABCDEF";
    const char* p = text;
    while (*p != '\0') {
        const char* run = p;  // copy each run of unreserved bytes at once
        while (*p != '\0' && isUnreserved(static_cast<unsigned char>(*p))) ++p;
        if (p > run &&
            !sdsUpdate(out, sdsAppendLen(out.get(), run, static_cast<size_t>(p - run)))) {
            return nullptr;
        }
        if (*p == '\0') break;
        const auto c = static_cast<unsigned char>(*p++);
        const char escape[3] = {'%', kHex[c >> 4], kHex[c & 0x0F]};
        if (!sdsUpdate(out, sdsAppendLen(out.get(), escape, sizeof escape))) return nullptr;
    }
    return out.release();
}

int signer_hmac_sha1(const char* text, const char* key, unsigned char* digest) {
    if (text == nullptr || key == nullptr || digest == nullptr) return -1;
    hmac_sha1(reinterpret_cast<const unsigned char*>(text), static_cast<uint32_t>(strlen(text)),
              digest, reinterpret_cast<const unsigned char*>(key),
              static_cast<uint32_t>(strlen(key)));
    return kSha1DigestSize;
}

int signer_generate(char* output, int capacity, const char* query, const char* secret) {
    if (output == nullptr || query == nullptr || secret == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    const SdsPtr encoded(signer_percent_encode(query));
    if (!encoded) {
        SM_LOG(2, "encode(%s) failed\n", query);
        return -1;
    }
    SdsPtr stringToSign(sdsWithRoom(kQueryStringToSignRoom));
    if (!stringToSign || !sdsUpdate(stringToSign, sdsAppendPrintf(stringToSign.get(), "%s&%s&%s",
                                                                  "GET", "%2F", encoded.get()))) {
        SM_LOG(2, "no memory\n");
        return -1;
    }
    logStringToSign(stringToSign.get());
    SdsPtr key(sdsWithRoom(strlen(secret) + 1));
    if (!key || !sdsUpdate(key, sdsAppend(key.get(), secret)) ||
        !sdsUpdate(key, sdsAppendChar(key.get(), '&'))) {
        SM_LOG(2, "no memory\n");
        return -1;
    }
    unsigned char digest[kSha1DigestSize];
    if (signer_hmac_sha1(stringToSign.get(), key.get(), digest) <= 0) {
        SM_LOG(2, "cal signature failed\n");
        return -1;
    }
    char encodedSignature[32] = {};
    int32_t length = 0;
    base64_encode(digest, sizeof digest, encodedSignature, &length);
    if (capacity < length) {
        SM_LOG(2, "output buffer(%d) is too short,need %d byte\n", capacity, length);
        return -1;
    }
    memcpy(output, encodedSignature, static_cast<size_t>(length));
    return length;
}

sds signer_redact_token(const char* text) {
    if (text == nullptr) return nullptr;
    SdsPtr out(sdsWithRoom(strlen(text)));
    if (!out) return nullptr;
    const char* copied = text;  // everything before this is already in out
    for (const char* p = strstr(text, kTokenKey); p != nullptr; p = strstr(p + 1, kTokenKey)) {
        if (!atParameterStart(text, p)) continue;
        const char* after = p + strlen(kTokenKey);
        const bool plain = *after == '=';
        if (!plain && !startsWith(after, "%3D")) continue;
        const char* value = after + (plain ? 1 : 3);
        const size_t valueLength = tokenValueLength(value, plain ? "&" : "%26");
        if (valueLength == 0) continue;
        if (!sdsUpdate(out, sdsAppendLen(out.get(), copied, static_cast<size_t>(value - copied))) ||
            !sdsUpdate(out, sdsAppend(out.get(), kRedacted))) {
            return nullptr;
        }
        copied = value + valueLength;
        p = copied - 1;
    }
    if (!sdsUpdate(out, sdsAppend(out.get(), copied))) return nullptr;
    return out.release();
}
