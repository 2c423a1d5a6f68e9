#include "zeb-sdk/guider.h"

#include <gtest/gtest.h>

#include "full_match.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "log_capture.h"
#include "rpc_signature.h"
#include "zeb-sdk/digest.h"
#include "zeb-sdk/signer.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs entries(ParamList* list) {
    Pairs out;
    for (ParamList* e = list->next; e != list; e = e->next) out.emplace_back(e->key, e->value);
    return out;
}

// key=value pairs of the URL's query, in order, values left encoded.
Pairs queryOf(const std::string& url) {
    Pairs out;
    const std::string query = url.substr(url.find("/?") + 2);
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string item = query.substr(start, end - start);
        const size_t eq = item.find('=');
        out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        start = end + 1;
    }
    return out;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string signatureOf(const std::string& stringToSign, const std::string& secret) {
    return rpcSignature(stringToSign, secret);
}

struct SignedCall {
    std::string url;
    std::string log;
};

SignedCall signGroupLookup(const char* token, const char* secret = "secretKey") {
    auto& log = LogCapture::begin();
    const ParamListPtr params(paramListNew());
    EXPECT_EQ(paramListAdd(params.get(), "GroupName", "pxr::service-monitor"), 0);
    EXPECT_EQ(paramListAdd(params.get(), "Action", "DescribeMonitorGroups"), 0);
    const SdsPtr url(
        buildRpcHttpsRequest("monitor-api.cloud.example", params.get(), "AKID", secret, token));
    return {url ? std::string(url.get()) : std::string(), log.take()};
}

TEST(ParamList, KeepsEntriesInUnsignedByteOrder) {
    const ParamListPtr list(paramListNew());
    ASSERT_TRUE(list);
    for (const char* key : {"b", "a", "Z", "\x80", "ab", "A", "a"}) {
        ASSERT_EQ(paramListAdd(list.get(), key, key), 0);
    }
    const Pairs got = entries(list.get());
    std::vector<std::string> keys;
    for (const auto& [k, v] : got) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"A", "Z", "a", "a", "ab", "b", "\x80"}));
    EXPECT_EQ(paramListAdd(nullptr, "k", "v"), -1);
    EXPECT_EQ(paramListAdd(list.get(), nullptr, "v"), -1);
    EXPECT_EQ(paramListAdd(list.get(), "k", nullptr), -1);
    EXPECT_EQ(entries(list.get()).size(), 7u);
    paramListFree(nullptr);
}

TEST(Nonce, HasTheVersionFourLayout) {
    const std::string pattern("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (int i = 0; i < 2000; ++i) {
        char nonce[kNonceSize];
        memset(nonce, 'X', sizeof nonce);
        ASSERT_EQ(genSignatureNonce(nonce), nonce);
        const std::string text(nonce);
        ASSERT_TRUE(fullMatch(text, pattern)) << text;
        // rand() mod 255 never yields a byte ff; the digits after 4 and the variant never f.
        std::string hex;
        for (char c : text) {
            if (c != '-') hex += c;
        }
        for (size_t b = 0; b < hex.size(); b += 2) ASSERT_NE(hex.substr(b, 2), "ff") << text;
        ASSERT_NE(text[15], 'f');
        ASSERT_NE(text[20], 'f');
    }
}

TEST(Timestamp, IsUtcIso8601) {
    char buffer[kTimestampSize];
    getUtcTimestamp(buffer);
    EXPECT_TRUE(fullMatch(
        std::string(buffer),
        std::string("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z")))
        << buffer;
}

TEST(BuildRpcHttpsRequest, CanonicalOrderAndUrlShape) {
    const SignedCall call = signGroupLookup("tok");
    ASSERT_FALSE(call.url.empty());
    EXPECT_EQ(call.url.rfind("https://monitor-api.cloud.example/?AccessKeyId=AKID&", 0), 0u)
        << call.url;
    const Pairs query = queryOf(call.url);
    std::vector<std::string> keys;
    for (const auto& [k, v] : query) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"AccessKeyId", "Action", "Format", "GroupName",
                                              "RegionId", "SecurityToken", "Signature",
                                              "SignatureMethod", "SignatureNonce", "SignatureType",
                                              "SignatureVersion", "Timestamp", "Version"}));
    const auto value = [&](const std::string& key) {
        for (const auto& [k, v] : query) {
            if (k == key) return v;
        }
        return std::string("<missing>");
    };
    EXPECT_EQ(value("Action"), "DescribeMonitorGroups");
    EXPECT_EQ(value("Format"), "JSON");
    EXPECT_EQ(value("GroupName"), "pxr%3A%3Aservice-monitor");
    EXPECT_EQ(value("RegionId"), "cn-hangzhou");
    EXPECT_EQ(value("SignatureMethod"), "HMAC-SHA1");
    EXPECT_EQ(value("SignatureVersion"), "1.0");
    EXPECT_EQ(value("SignatureType"), "");
    EXPECT_EQ(value("Version"), "2019-01-01");
    EXPECT_TRUE(
        fullMatch(value("Timestamp"),
                         std::string("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}%3A[0-9]{2}%3A[0-9]{2}Z")));
    EXPECT_TRUE(fullMatch(
        value("SignatureNonce"),
        std::string("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    EXPECT_EQ(call.url.substr(call.url.size() - 19), "&Version=2019-01-01");
    // The signature's + / = are escaped in the URL.
    EXPECT_EQ(value("Signature").find_first_of("+/="), std::string::npos);
    EXPECT_EQ(value("Signature").substr(value("Signature").size() - 3), "%3D");
}

TEST(BuildRpcHttpsRequest, SignatureCoversTheDoubleEncodedCanonicalQuery) {
    const SignedCall call = signGroupLookup("");
    ASSERT_FALSE(call.url.empty());
    std::string canonical;
    std::string signature;
    for (const auto& [k, v] : queryOf(call.url)) {
        if (k == "Signature") {
            signature = percentDecode(v);
            continue;
        }
        canonical += (canonical.empty() ? "" : "&") + k + "=" + v;
    }
    EXPECT_NE(canonical.find("&GroupName=pxr%3A%3Aservice-monitor&"), std::string::npos);
    EXPECT_NE(canonical.find("&SecurityToken=&SignatureMethod="), std::string::npos);
    const SdsPtr encoded(signer_percent_encode(canonical.c_str()));
    const std::string stringToSign = std::string("GET&%2F&") + encoded.get();
    EXPECT_NE(stringToSign.find("GroupName%3Dpxr%253A%253Aservice-monitor"), std::string::npos);
    EXPECT_NE(call.log.find("stringToSign:" + stringToSign), std::string::npos) << call.log;
    EXPECT_EQ(signature, signatureOf(stringToSign, "secretKey"));
    EXPECT_NE(call.url.find("&SecurityToken=&Signature="), std::string::npos);
}

TEST(BuildRpcHttpsRequest, TokenNeverReachesTheLog) {
    const SignedCall ok = signGroupLookup("BearerSecret99");
    EXPECT_NE(ok.url.find("SecurityToken=BearerSecret99&"), std::string::npos);
    EXPECT_EQ(ok.log.find("BearerSecret99"), std::string::npos) << ok.log;

    const SignedCall failed = signGroupLookup("BearerSecret99", nullptr);
    EXPECT_TRUE(failed.url.empty());
    EXPECT_EQ(failed.log.find("BearerSecret99"), std::string::npos) << failed.log;
    EXPECT_NE(failed.log.find("calc signature faile!queryParams:AccessKeyId=AKID&Action="),
              std::string::npos)
        << failed.log;
    EXPECT_NE(failed.log.find("&SecurityToken=***&SignatureMethod="), std::string::npos);
    EXPECT_NE(failed.log.find(", ak:AKID"), std::string::npos);
}

TEST(BuildRpcHttpsRequest, MissingCommonValuesFailTheBuild) {
    const ParamListPtr params(paramListNew());
    EXPECT_EQ(buildRpcHttpsRequest("h", params.get(), nullptr, "s", ""), nullptr);
    const ParamListPtr other(paramListNew());
    EXPECT_EQ(buildRpcHttpsRequest(nullptr, other.get(), "a", "s", ""), nullptr);
    EXPECT_EQ(buildRpcHttpsRequest("h", nullptr, "a", "s", ""), nullptr);
    // Without a token pointer the parameter is left out altogether.
    const ParamListPtr noToken(paramListNew());
    const SdsPtr url(buildRpcHttpsRequest("h", noToken.get(), "a", "s", nullptr));
    ASSERT_TRUE(url);
    EXPECT_EQ(std::string(url.get()).find("SecurityToken"), std::string::npos);
}

}  // namespace
