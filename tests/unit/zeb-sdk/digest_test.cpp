// Published vectors, then a cross-check against OpenSSL on random inputs fed in random
// pieces. Set SM_TEST_SEED to replay a failing run.
#include "digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string md5Hex(const std::string& text) {
    char out[kMd5HexSize + 1] = {};
    md5_hex(bytes(text), static_cast<int32_t>(text.size()), out);
    return out;
}

std::string sha1Hex(const std::string& text) {
    sha1_context ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, bytes(text), text.size());
    unsigned char digest[kSha1DigestSize];
    sha1_final(&ctx, digest);
    std::string out;
    for (unsigned char b : digest) {
        out += hex_digit(static_cast<unsigned char>(b >> 4));
        out += hex_digit(b);
    }
    return out;
}

std::string hmacHex(const std::string& data, const std::string& key) {
    char out[kSha1HexSize + 1] = {};
    hmac_sha1_hex(bytes(data), static_cast<uint32_t>(data.size()), out, bytes(key),
                  static_cast<uint32_t>(key.size()));
    return out;
}

TEST(Digest, PublishedVectors) {
    const struct {
        std::string (*digest)(const std::string&);
        std::string text;
        const char* hex;
    } cases[] = {
        // RFC 1321
        {md5Hex, "", "D41D8CD98F00B204E9800998ECF8427E"},
        {md5Hex, "abc", "900150983CD24FB0D6963F7D28E17F72"},
        {md5Hex, "message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {md5Hex, "abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {md5Hex, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "D174AB98D277D9F5A5611C2C9F419D9F"},
        // FIPS 180-1
        {sha1Hex, "abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {sha1Hex, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
        {sha1Hex, std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.digest(c.text), c.hex) << c.text.substr(0, 64);
}

TEST(Digest, HmacSha1Rfc2202) {
    std::string key4;
    for (char c = 1; c <= 25; ++c) key4 += c;
    const std::string big(80, '\xaa');
    EXPECT_EQ(hmacHex("Hi There", std::string(20, '\x0b')),
              "B617318655057264E28BC0B6FB378C8EF146BE00");
    EXPECT_EQ(hmacHex("what do ya want for nothing?", "Jefe"),
              "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79");
    EXPECT_EQ(hmacHex(std::string(50, '\xdd'), std::string(20, '\xaa')),
              "125D7342B9AC11CD91A39AF48AA17B4F63F175D3");
    EXPECT_EQ(hmacHex(std::string(50, '\xcd'), key4), "4C9007F4026250C6BC8414F9BF50C86C2D7235DA");
    EXPECT_EQ(hmacHex("Test Using Larger Than Block-Size Key - Hash Key First", big),
              "AA4AE5E15272D00E95705637CE8A3B55ED402112");
}

// A negative length must not turn into a huge unsigned one.
TEST(Digest, NegativeLengthsCountAsEmpty) {
    char hex[kMd5HexSize + 1] = {};
    md5_hex(bytes("ignored"), -5, hex);
    EXPECT_STREQ(hex, "D41D8CD98F00B204E9800998ECF8427E");
    char out[8] = {};
    int32_t length = -1;
    base64_encode(bytes("abc"), -3, out, &length);
    EXPECT_EQ(length, 0);
    EXPECT_STREQ(out, "");
}

// Pieces around one block stress the buffering; others are random.
template <typename Ctx, typename Update>
void feedInPieces(std::mt19937& rng, Ctx* ctx, const Bytes& data, Update update) {
    static constexpr size_t kEdges[] = {1, 55, 56, 63, 64, 65, 127, 128, 129};
    for (size_t i = 0; i < data.size();) {
        const size_t piece = rng() % 2 ? kEdges[rng() % std::size(kEdges)] : 1 + rng() % 300;
        const size_t n = std::min(piece, data.size() - i);
        update(ctx, data.data() + i, n);
        i += n;
    }
}

Bytes openSsl(const EVP_MD* md, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr), 1);
    out.resize(length);
    return out;
}

TEST(DigestVsOpenSsl, Md5Sha1HmacAndBase64OfRandomInputs) {
    const char* env = getenv("SM_TEST_SEED");
    const unsigned seed = env != nullptr ? static_cast<unsigned>(strtoul(env, nullptr, 10))
                                         : std::random_device{}();
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    std::mt19937 rng(seed);
    const auto randomBytes = [&rng](size_t n) {
        Bytes out(n);
        for (auto& b : out) b = static_cast<unsigned char>(rng());
        return out;
    };
    static constexpr size_t kKeySizes[] = {0, 1, 20, 63, 64, 65, 100, 200};
    for (int round = 0; round < 300; ++round) {
        const Bytes data = randomBytes(rng() % 3000);
        SCOPED_TRACE("seed " + std::to_string(seed) + " size " + std::to_string(data.size()));
        md5_context md5;
        md5_init(&md5);
        feedInPieces(rng, &md5, data, md5_update);
        Bytes ours(kMd5DigestSize);
        md5_final(&md5, ours.data());
        ASSERT_EQ(ours, openSsl(EVP_md5(), data));

        sha1_context sha1;
        sha1_init(&sha1);
        feedInPieces(rng, &sha1, data, sha1_update);
        ours.resize(kSha1DigestSize);
        sha1_final(&sha1, ours.data());
        ASSERT_EQ(ours, openSsl(EVP_sha1(), data));

        const Bytes key = randomBytes(round < 8 ? kKeySizes[round] : rng() % 200);
        hmac_sha1(data.data(), static_cast<uint32_t>(data.size()), ours.data(), key.data(),
                  static_cast<uint32_t>(key.size()));
        Bytes theirs(EVP_MAX_MD_SIZE);
        unsigned length = 0;
        ASSERT_NE(HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(),
                       data.size(), theirs.data(), &length), nullptr);
        theirs.resize(length);
        ASSERT_EQ(ours, theirs) << "key " << key.size();

        const size_t n = data.size() % 200;
        std::string encoded(4 * ((n + 2) / 3) + 1, '\0');
        int32_t encodedLength = 0;
        base64_encode(data.data(), static_cast<int32_t>(n), encoded.data(), &encodedLength);
        std::string expected(encoded.size(), '\0');
        expected.resize(static_cast<size_t>(EVP_EncodeBlock(
            reinterpret_cast<unsigned char*>(expected.data()), data.data(), static_cast<int>(n))));
        ASSERT_EQ(encoded.substr(0, static_cast<size_t>(encodedLength)), expected);
    }
}

}  // namespace
