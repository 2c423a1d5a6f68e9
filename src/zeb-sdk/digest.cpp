#include "digest.h"

#include <cstring>

namespace {

constexpr size_t kBlock = 64;

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadLe(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint32_t loadBe(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline void storeLe(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void storeBe(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// ---- MD5 ----

constexpr uint32_t kMd5K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMd5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// One round step: a = b + ((a + f(b,c,d) + x + k) <<< s), then the words rotate.
template <int Round>
inline void md5Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, int i) {
    uint32_t f;
    if constexpr (Round == 0) {
        f = d ^ (b & (c ^ d));
    } else if constexpr (Round == 1) {
        f = c ^ (d & (b ^ c));
    } else if constexpr (Round == 2) {
        f = b ^ c ^ d;
    } else {
        f = c ^ (b | ~d);
    }
    a = b + rotl(a + f + x + kMd5K[i], kMd5Shift[Round][i & 3]);
}

template <int Round>
inline void md5Round(uint32_t s[4], const uint32_t x[16], int start, int stride) {
    uint32_t& a = s[0];
    uint32_t& b = s[1];
    uint32_t& c = s[2];
    uint32_t& d = s[3];
    const int base = Round * 16;
    for (int i = 0; i < 16; i += 4) {
        md5Step<Round>(a, b, c, d, x[(start + stride * i) & 15], base + i);
        md5Step<Round>(d, a, b, c, x[(start + stride * (i + 1)) & 15], base + i + 1);
        md5Step<Round>(c, d, a, b, x[(start + stride * (i + 2)) & 15], base + i + 2);
        md5Step<Round>(b, c, d, a, x[(start + stride * (i + 3)) & 15], base + i + 3);
    }
}

void md5Process(md5_context* ctx, const unsigned char* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = loadLe(block + 4 * i);
    uint32_t s[4] = {ctx->state[0], ctx->state[1], ctx->state[2], ctx->state[3]};
    md5Round<0>(s, x, 0, 1);
    md5Round<1>(s, x, 1, 5);
    md5Round<2>(s, x, 5, 3);
    md5Round<3>(s, x, 0, 7);
    for (int i = 0; i < 4; ++i) ctx->state[i] += s[i];
}

// ---- SHA-1 ----

// Message schedule word t (t >= 16) computed in place in the 16-word ring.
inline uint32_t sha1Schedule(uint32_t w[16], int t) {
    w[t & 15] = rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
    return w[t & 15];
}

inline void sha1Step(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t f,
                     uint32_t k, uint32_t w) {
    const uint32_t temp = rotl(a, 5) + f + e + k + w;
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = temp;
}

void sha1Process(sha1_context* ctx, const unsigned char* block) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = loadBe(block + 4 * i);
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3],
             e = ctx->state[4];
    // One loop per round function so that each one compiles without branches.
    for (int t = 0; t < 16; ++t) sha1Step(a, b, c, d, e, d ^ (b & (c ^ d)), 0x5A827999, w[t]);
    for (int t = 16; t < 20; ++t) {
        sha1Step(a, b, c, d, e, d ^ (b & (c ^ d)), 0x5A827999, sha1Schedule(w, t));
    }
    for (int t = 20; t < 40; ++t)
        sha1Step(a, b, c, d, e, b ^ c ^ d, 0x6ED9EBA1, sha1Schedule(w, t));
    for (int t = 40; t < 60; ++t) {
        sha1Step(a, b, c, d, e, (b & c) | (d & (b | c)), 0x8F1BBCDC, sha1Schedule(w, t));
    }
    for (int t = 60; t < 80; ++t)
        sha1Step(a, b, c, d, e, b ^ c ^ d, 0xCA62C1D6, sha1Schedule(w, t));
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
    ctx->state[4] += e;
}

// Shared buffering of both hashes: fill a partial block, run whole blocks straight from
// the input, keep the rest.
template <typename Ctx, void (*Process)(Ctx*, const unsigned char*)>
void blockUpdate(Ctx* ctx, const unsigned char* input, size_t length) {
    if (length == 0) return;
    size_t fill = ctx->total[0] & (kBlock - 1);
    const uint32_t low = ctx->total[0];
    ctx->total[0] += static_cast<uint32_t>(length);
    ctx->total[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 32);
    if (ctx->total[0] < low) ++ctx->total[1];
    if (fill > 0 && length >= kBlock - fill) {
        memcpy(ctx->buffer + fill, input, kBlock - fill);
        Process(ctx, ctx->buffer);
        input += kBlock - fill;
        length -= kBlock - fill;
        fill = 0;
    }
    for (; length >= kBlock; input += kBlock, length -= kBlock) Process(ctx, input);
    if (length > 0) memcpy(ctx->buffer + fill, input, length);
}

// Appends 0x80, zeros up to 56 mod 64 and the 64-bit bit count (written by storeLength).
template <typename Ctx, void (*Process)(Ctx*, const unsigned char*)>
void blockPad(Ctx* ctx, bool bigEndian) {
    const uint32_t high = (ctx->total[0] >> 29) | (ctx->total[1] << 3);
    const uint32_t low = ctx->total[0] << 3;
    unsigned char length[8];
    if (bigEndian) {
        storeBe(length, high);
        storeBe(length + 4, low);
    } else {
        storeLe(length, low);
        storeLe(length + 4, high);
    }
    static const unsigned char kPadding[kBlock] = {0x80};
    const size_t used = ctx->total[0] & (kBlock - 1);
    const size_t padLength = used < 56 ? 56 - used : 120 - used;
    blockUpdate<Ctx, Process>(ctx, kPadding, padLength);
    blockUpdate<Ctx, Process>(ctx, length, sizeof length);
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void writeHex(const unsigned char* bytes, size_t count, char* output) {
    for (size_t i = 0; i < count; ++i) {
        output[2 * i] = hex_digit(static_cast<unsigned char>(bytes[i] >> 4));
        output[2 * i + 1] = hex_digit(bytes[i]);
    }
}

}  // namespace

void md5_init(md5_context* ctx) {
    ctx->total[0] = ctx->total[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void md5_update(md5_context* ctx, const unsigned char* input, size_t length) {
    blockUpdate<md5_context, md5Process>(ctx, input, length);
}

void md5_final(md5_context* ctx, unsigned char digest[kMd5DigestSize]) {
    blockPad<md5_context, md5Process>(ctx, false);
    for (int i = 0; i < 4; ++i) storeLe(digest + 4 * i, ctx->state[i]);
}

void md5_hex(const unsigned char* input, int32_t length, char output[kMd5HexSize]) {
    md5_context ctx;
    unsigned char digest[kMd5DigestSize];
    md5_init(&ctx);
    md5_update(&ctx, input, length > 0 ? static_cast<size_t>(length) : 0);
    md5_final(&ctx, digest);
    writeHex(digest, sizeof digest, output);
    memset(&ctx, 0, sizeof ctx);
}

void sha1_init(sha1_context* ctx) {
    ctx->total[0] = ctx->total[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
}

void sha1_update(sha1_context* ctx, const unsigned char* input, size_t length) {
    blockUpdate<sha1_context, sha1Process>(ctx, input, length);
}

void sha1_final(sha1_context* ctx, unsigned char digest[kSha1DigestSize]) {
    blockPad<sha1_context, sha1Process>(ctx, true);
    for (int i = 0; i < 5; ++i) storeBe(digest + 4 * i, ctx->state[i]);
}

void hmac_sha1(const unsigned char* data, uint32_t dataLength,
               unsigned char digest[kSha1DigestSize], const unsigned char* key,
               uint32_t keyLength) {
    unsigned char keyDigest[kSha1DigestSize];
    sha1_context ctx;
    if (keyLength > kBlock) {
        sha1_init(&ctx);
        sha1_update(&ctx, key, keyLength);
        sha1_final(&ctx, keyDigest);
        key = keyDigest;
        keyLength = kSha1DigestSize;
    }
    unsigned char inner[kBlock] = {};
    unsigned char outer[kBlock] = {};
    if (keyLength > 0) {
        memcpy(inner, key, keyLength);
        memcpy(outer, key, keyLength);
    }
    for (size_t i = 0; i < kBlock; ++i) {
        inner[i] ^= 0x36;
        outer[i] ^= 0x5C;
    }
    unsigned char innerDigest[kSha1DigestSize];
    sha1_init(&ctx);
    sha1_update(&ctx, inner, kBlock);
    sha1_update(&ctx, data, dataLength);
    sha1_final(&ctx, innerDigest);
    sha1_init(&ctx);
    sha1_update(&ctx, outer, kBlock);
    sha1_update(&ctx, innerDigest, sizeof innerDigest);
    sha1_final(&ctx, digest);
}

void hmac_sha1_hex(const unsigned char* data, uint32_t dataLength, char output[kSha1HexSize],
                   const unsigned char* key, uint32_t keyLength) {
    unsigned char digest[kSha1DigestSize];
    hmac_sha1(data, dataLength, digest, key, keyLength);
    writeHex(digest, sizeof digest, output);
}

char hex_digit(unsigned char value) { return "0123456789ABCDEF"[value & 0x0F]; }

char* base64_encode(const unsigned char* input, int32_t length, char* output,
                    int32_t* outputLength) {
    const size_t n = length > 0 ? static_cast<size_t>(length) : 0;
    size_t out = 0;
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t b0 = input[i];
        const uint32_t b1 = i + 1 < n ? input[i + 1] : 0;
        const uint32_t b2 = i + 2 < n ? input[i + 2] : 0;
        const uint32_t group = b0 << 16 | b1 << 8 | b2;
        output[out++] = kBase64Alphabet[(group >> 18) & 0x3F];
        output[out++] = kBase64Alphabet[(group >> 12) & 0x3F];
        output[out++] = kBase64Alphabet[(group >> 6) & 0x3F];
        output[out++] = kBase64Alphabet[group & 0x3F];
    }
    if (n % 3 == 1) output[out - 2] = '=';
    if (n % 3 != 0) output[out - 1] = '=';
    if (outputLength != nullptr) *outputLength = static_cast<int32_t>(out);
    return output;
}
