#include "signer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log_capture.h"
#include "rpc_signature.h"

namespace {

std::string encode(const char* text) {
    const SdsPtr out(signer_percent_encode(text));
    return out ? std::string(out.get()) : "<null>";
}

std::string redact(const char* text) {
    const SdsPtr out(signer_redact_token(text));
    return out ? std::string(out.get()) : "<null>";
}

TEST(SignerPercentEncode, UnreservedKeptEverythingElseEscaped) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(encode("a b*c/d+=&%:"), "a%20b%2Ac%2Fd%2B%3D%26%25%3A");
    EXPECT_EQ(encode("\xe4\xff\x01"), "%E4%FF%01");
    EXPECT_EQ(encode("pxr%3A%3Aservice-monitor"), "pxr%253A%253Aservice-monitor");
    EXPECT_EQ(encode(std::string(5000, '/').c_str()).size(), 15000u);
}

// The signature is 28 characters of Base64, written without a terminator.
TEST(SignerGenerate, NeedsRoomForTheWholeSignature) {
    char out[32];
    memset(out, '#', sizeof out);
    EXPECT_EQ(signer_generate(out, 27, "a=b", "k"), -1);
    EXPECT_EQ(out[0], '#');
    ASSERT_EQ(signer_generate(out, 28, "a=b", "k"), 28);
    EXPECT_EQ(std::string(out, 28), rpcSignature("GET&%2F&a%3Db", "k"));
    EXPECT_EQ(out[28], '#');
    EXPECT_EQ(signer_generate(out, 32, nullptr, "k"), -1);
    EXPECT_EQ(signer_generate(out, 32, "q", nullptr), -1);
}

TEST(SignerRedact, HidesTheTokenInEveryForm) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"https://h/?AccessKeyId=a&SecurityToken=TOK%2Bx&Signature=s",
         "https://h/?AccessKeyId=a&SecurityToken=***&Signature=s"},
        {"SecurityToken=TOK", "SecurityToken=***"},
        {"GET&%2F&RegionId%3Dx%26SecurityToken%3DTOK%252B%26SignatureMethod%3DH",
         "GET&%2F&RegionId%3Dx%26SecurityToken%3D***%26SignatureMethod%3DH"},
        {"GET&%2F&SecurityToken%3DTOK", "GET&%2F&SecurityToken%3D***"},
        // An empty token has nothing to hide; look-alike keys and values are left alone.
        {"a=1&SecurityToken=&b=2", "a=1&SecurityToken=&b=2"},
        {"XSecurityToken=v&Note=SecurityToken", "XSecurityToken=v&Note=SecurityToken"},
    };
    for (const auto& c : cases) EXPECT_EQ(redact(c.in), c.out);

    auto& log = LogCapture::begin();
    char out[32] = {};
    ASSERT_EQ(signer_generate(out, 32, "RegionId=x&SecurityToken=BearerSecret42&T=t", "k"), 28);
    const std::string text = log.take();
    EXPECT_EQ(text.find("BearerSecret42"), std::string::npos) << text;
    EXPECT_NE(text.find("SecurityToken%3D***%26T"), std::string::npos) << text;
}

}  // namespace
