#include "zeb-sdk/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string toHex(const unsigned char* digest, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += hex_digit(static_cast<unsigned char>(digest[i] >> 4));
        out += hex_digit(digest[i]);
    }
    return out;
}

std::string md5Hex(const std::string& text) {
    char out[kMd5HexSize + 1] = {};
    md5_hex(bytes(text), static_cast<int32_t>(text.size()), out);
    return out;
}

// SHA-1 of text fed in pieces of `piece` bytes (0: all at once).
std::string sha1Hex(const std::string& text, size_t piece = 0) {
    sha1_context ctx;
    sha1_init(&ctx);
    const size_t step = piece == 0 ? text.size() + 1 : piece;
    for (size_t i = 0; i < text.size(); i += step) {
        sha1_update(&ctx, bytes(text) + i, std::min(step, text.size() - i));
    }
    unsigned char digest[kSha1DigestSize];
    sha1_final(&ctx, digest);
    return toHex(digest, sizeof digest);
}

std::string md5Pieces(const std::string& text, size_t piece) {
    md5_context ctx;
    md5_init(&ctx);
    for (size_t i = 0; i < text.size(); i += piece) {
        md5_update(&ctx, bytes(text) + i, std::min(piece, text.size() - i));
    }
    unsigned char digest[kMd5DigestSize];
    md5_final(&ctx, digest);
    return toHex(digest, sizeof digest);
}

std::string hmacHex(const std::string& data, const std::string& key) {
    char out[kSha1HexSize + 1] = {};
    hmac_sha1_hex(bytes(data), static_cast<uint32_t>(data.size()), out, bytes(key),
                  static_cast<uint32_t>(key.size()));
    return out;
}

std::string base64(const std::string& data) {
    std::vector<char> out(data.size() * 2 + 8, '\0');
    int32_t length = -1;
    EXPECT_EQ(base64_encode(bytes(data), static_cast<int32_t>(data.size()), out.data(), &length),
              out.data());
    EXPECT_EQ(static_cast<size_t>(length), 4 * ((data.size() + 2) / 3));
    return out.data();
}

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(md5Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(md5Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Md5, NegativeLengthCountsAsEmpty) {
    char out[kMd5HexSize + 1] = {};
    md5_hex(bytes("ignored"), -5, out);
    EXPECT_STREQ(out, "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(Sha1, Fips180Messages) {
    EXPECT_EQ(sha1Hex(""), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(sha1Hex("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(sha1Hex(std::string(1000000, 'a')), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
}

TEST(Digests, PiecewiseInputGivesTheSameDigest) {
    const std::string million(1000000, 'a');
    for (const size_t piece : {1u, 63u, 64u, 65u, 127u, 4096u}) {
        EXPECT_EQ(sha1Hex(million, piece), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F") << piece;
        EXPECT_EQ(md5Pieces(million, piece), md5Hex(million)) << piece;
    }
    const std::string text =
        "1234567890123456789012345678901234567890"
        "1234567890123456789012345678901234567890";
    for (size_t piece = 1; piece <= text.size(); ++piece) {
        ASSERT_EQ(md5Pieces(text, piece), "57EDF4A22BE3C955AC49DA2E2107B67A") << piece;
    }
}

TEST(HmacSha1, Rfc2202Cases) {
    EXPECT_EQ(hmacHex("Hi There", std::string(20, '\x0b')),
              "B617318655057264E28BC0B6FB378C8EF146BE00");
    EXPECT_EQ(hmacHex("what do ya want for nothing?", "Jefe"),
              "EFFCDF6AE5EB2FA2D27416D5F184DF9C259A7C79");
    EXPECT_EQ(hmacHex(std::string(50, '\xdd'), std::string(20, '\xaa')),
              "125D7342B9AC11CD91A39AF48AA17B4F63F175D3");
    std::string key4;
    for (char c = 1; c <= 25; ++c) key4 += c;
    EXPECT_EQ(hmacHex(std::string(50, '\xcd'), key4), "4C9007F4026250C6BC8414F9BF50C86C2D7235DA");
    EXPECT_EQ(hmacHex("Test With Truncation", std::string(20, '\x0c')),
              "4C1A03424B55E07FE7F27BE1D58BB9324A9A5A04");
    EXPECT_EQ(
        hmacHex("Test Using Larger Than Block-Size Key - Hash Key First", std::string(80, '\xaa')),
        "AA4AE5E15272D00E95705637CE8A3B55ED402112");
    EXPECT_EQ(hmacHex("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                      std::string(80, '\xaa')),
              "E8E99D0F45237D786D6BBAA7965C7808BBFF1A91");
}

TEST(HmacSha1, KeysLongerThanOneBlockAreHashedFirst) {
    const auto sha1Raw = [](const std::string& key) {
        sha1_context ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, bytes(key), key.size());
        unsigned char digest[kSha1DigestSize];
        sha1_final(&ctx, digest);
        return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
    };
    const std::string key64(64, 'k');
    const std::string key65(65, 'k');
    EXPECT_EQ(hmacHex("data", key65), hmacHex("data", sha1Raw(key65)));
    EXPECT_NE(hmacHex("data", key64), hmacHex("data", sha1Raw(key64)));
    EXPECT_EQ(hmacHex("", ""), "FBDB1D1B18AA6C08324B7D64B71FB76370690E1D");
}

TEST(HmacSha1, RawDigestInBase64HasTwentyEightCharacters) {
    unsigned char digest[kSha1DigestSize];
    hmac_sha1(bytes("x"), 1, digest, bytes("k"), 1);
    const std::string encoded = base64(std::string(reinterpret_cast<char*>(digest), sizeof digest));
    EXPECT_EQ(encoded.size(), 28u);
    EXPECT_EQ(encoded.back(), '=');
    EXPECT_NE(encoded[26], '=');
}

TEST(Base64, Rfc4648Vectors) {
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(Base64, NegativeLengthEncodesNothing) {
    char out[8] = {};
    int32_t length = -1;
    base64_encode(bytes("abc"), -3, out, &length);
    EXPECT_EQ(length, 0);
    EXPECT_STREQ(out, "");
    base64_encode(bytes("abc"), 3, out, nullptr);
    EXPECT_STREQ(out, "YWJj");
}

TEST(Hex, DigitsAreUpperCase) {
    const std::string all = "0123456789ABCDEF";
    for (unsigned v = 0; v < 256; ++v) {
        EXPECT_EQ(hex_digit(static_cast<unsigned char>(v)), all[v & 15]);
    }
}

}  // namespace
