// MD5 (RFC 1321), SHA-1 (FIPS 180-1), HMAC-SHA1 (RFC 2104), upper-case hex and Base64
// (RFC 4648) for request signing. No allocation; all state lives in the caller's context.
// Text outputs get no terminating NUL: callers pass zero-filled buffers longer than the text.
#ifndef ZEB_SDK_DIGEST_H
#define ZEB_SDK_DIGEST_H

#include <cstddef>
#include <cstdint>

constexpr int kMd5DigestSize = 16;
constexpr int kSha1DigestSize = 20;
constexpr int kMd5HexSize = 32;
constexpr int kSha1HexSize = 40;

struct md5_context {
    uint32_t total[2];  // bytes fed: low word, high word
    uint32_t state[4];
    unsigned char buffer[64];
};

struct sha1_context {
    uint32_t total[2];
    uint32_t state[5];
    unsigned char buffer[64];
};

void md5_init(md5_context* ctx);
void md5_update(md5_context* ctx, const unsigned char* input, size_t length);
void md5_final(md5_context* ctx, unsigned char digest[kMd5DigestSize]);
// MD5 of the bytes as 32 upper-case hex characters. A negative length counts as empty.
void md5_hex(const unsigned char* input, int32_t length, char output[kMd5HexSize]);

void sha1_init(sha1_context* ctx);
void sha1_update(sha1_context* ctx, const unsigned char* input, size_t length);
void sha1_final(sha1_context* ctx, unsigned char digest[kSha1DigestSize]);

void hmac_sha1(const unsigned char* data, uint32_t dataLength,
               unsigned char digest[kSha1DigestSize], const unsigned char* key, uint32_t keyLength);
void hmac_sha1_hex(const unsigned char* data, uint32_t dataLength, char output[kSha1HexSize],
                   const unsigned char* key, uint32_t keyLength);

// "0".."9", "A".."F" for the low four bits of `value`.
[[nodiscard]] char hex_digit(unsigned char value);

// Writes 4 * ((length + 2) / 3) characters; stores that count through outputLength when
// non-null and returns output. A negative length encodes nothing.
char* base64_encode(const unsigned char* input, int32_t length, char* output,
                    int32_t* outputLength);

#endif
