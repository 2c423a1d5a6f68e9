#include "zeb-sdk/signer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "log_capture.h"
#include "rpc_signature.h"
#include "zeb-sdk/digest.h"

namespace {

std::string encode(const char* text) {
    const SdsPtr out(signer_percent_encode(text));
    EXPECT_TRUE(out);
    return out ? std::string(out.get()) : std::string();
}

std::string redact(const char* text) {
    const SdsPtr out(signer_redact_token(text));
    EXPECT_TRUE(out);
    return out ? std::string(out.get()) : std::string();
}

// Base64(HMAC-SHA1(secret + "&", "GET&%2F&" + encode(query))) from the primitives.
std::string expectedSignature(const std::string& query, const std::string& secret) {
    return rpcSignature("GET&%2F&" + encode(query.c_str()), secret);
}

TEST(SignerPercentEncode, UnreservedKeptEverythingElseEscaped) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(encode("a b*c/d"), "a%20b%2Ac%2Fd");
    EXPECT_EQ(encode("+=&%:"), "%2B%3D%26%25%3A");
    EXPECT_EQ(encode("\xe4\xff\x01"), "%E4%FF%01");
    EXPECT_EQ(encode("pxr::service-monitor"), "pxr%3A%3Aservice-monitor");
    EXPECT_EQ(encode("pxr%3A%3Aservice-monitor"), "pxr%253A%253Aservice-monitor");
    EXPECT_EQ(signer_percent_encode(nullptr), nullptr);
    const std::string longText(5000, '/');
    EXPECT_EQ(encode(longText.c_str()).size(), 15000u);
}

TEST(SignerGenerate, SignsTheDoubleEncodedQueryWithSecretAmpersand) {
    auto& log = LogCapture::begin();
    const char* query =
        "AccessKeyId=ak&Action=DescribeMonitorGroups&GroupName=pxr%3A%3Aservice-monitor";
    char out[32] = {};
    ASSERT_EQ(signer_generate(out, 32, query, "s3cret"), 28);
    EXPECT_EQ(std::string(out), expectedSignature(query, "s3cret"));
    EXPECT_EQ(out[27], '=');
    const std::string text = log.take();
    EXPECT_NE(text.find("stringToSign:GET&%2F&AccessKeyId%3Dak%26Action%3DDescribeMonitorGroups%26"
                        "GroupName%3Dpxr%253A%253Aservice-monitor"),
              std::string::npos)
        << text;
}

TEST(SignerGenerate, CapacityBelowTwentyEightFailsWithoutWriting) {
    auto& log = LogCapture::begin();
    char out[32];
    memset(out, '#', sizeof out);
    EXPECT_EQ(signer_generate(out, 27, "a=b", "k"), -1);
    EXPECT_EQ(out[0], '#');
    EXPECT_NE(log.take().find("output buffer(27) is too short,need 28 byte"), std::string::npos);
    EXPECT_EQ(signer_generate(out, 28, "a=b", "k"), 28);
    EXPECT_EQ(std::string(out, 28), expectedSignature("a=b", "k"));
    EXPECT_EQ(out[28], '#');  // no NUL written
}

TEST(SignerGenerate, NullArgumentsAreRejected) {
    auto& log = LogCapture::begin();
    char out[32] = {};
    EXPECT_EQ(signer_generate(out, 32, nullptr, "k"), -1);
    EXPECT_EQ(signer_generate(out, 32, "q", nullptr), -1);
    EXPECT_EQ(signer_generate(nullptr, 32, "q", "k"), -1);
    EXPECT_NE(log.take().find("invalid params"), std::string::npos);
}

TEST(SignerHmac, RawDigestAndNullChecks) {
    unsigned char digest[kSha1DigestSize];
    EXPECT_EQ(signer_hmac_sha1("what do ya want for nothing?", "Jefe", digest), 20);
    EXPECT_EQ(digest[0], 0xef);
    EXPECT_EQ(digest[19], 0x79);
    EXPECT_EQ(signer_hmac_sha1(nullptr, "k", digest), -1);
    EXPECT_EQ(signer_hmac_sha1("t", nullptr, digest), -1);
    EXPECT_EQ(signer_hmac_sha1("t", "k", nullptr), -1);
    EXPECT_STREQ(signer_get_method(), "HMAC-SHA1");
    EXPECT_STREQ(signer_get_version(), "1.0");
}

TEST(SignerRedact, HidesTheTokenInEveryForm) {
    EXPECT_EQ(redact("https://h/?AccessKeyId=a&SecurityToken=TOK%2Bx&Signature=s"),
              "https://h/?AccessKeyId=a&SecurityToken=***&Signature=s");
    EXPECT_EQ(redact("SecurityToken=TOK"), "SecurityToken=***");
    EXPECT_EQ(redact("https://h/?SecurityToken=TOK"), "https://h/?SecurityToken=***");
    EXPECT_EQ(redact("GET&%2F&RegionId%3Dx%26SecurityToken%3DTOK%252B%26SignatureMethod%3DH"),
              "GET&%2F&RegionId%3Dx%26SecurityToken%3D***%26SignatureMethod%3DH");
    EXPECT_EQ(redact("GET&%2F&SecurityToken%3DTOK"), "GET&%2F&SecurityToken%3D***");
    // An empty token has nothing to hide; look-alike keys and values are left alone.
    EXPECT_EQ(redact("a=1&SecurityToken=&b=2"), "a=1&SecurityToken=&b=2");
    EXPECT_EQ(redact("XSecurityToken=v&Note=SecurityToken"), "XSecurityToken=v&Note=SecurityToken");
    EXPECT_EQ(redact("no token here"), "no token here");
    EXPECT_EQ(signer_redact_token(nullptr), nullptr);
}

TEST(SignerRedact, LoggedStringToSignNeverShowsTheToken) {
    auto& log = LogCapture::begin();
    char out[32] = {};
    ASSERT_EQ(signer_generate(out, 32, "RegionId=x&SecurityToken=BearerSecret42&Timestamp=t", "k"),
              28);
    const std::string text = log.take();
    EXPECT_EQ(text.find("BearerSecret42"), std::string::npos) << text;
    EXPECT_NE(text.find("SecurityToken%3D***%26Timestamp"), std::string::npos) << text;
}

}  // namespace
