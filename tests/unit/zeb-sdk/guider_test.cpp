#include "guider.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "full_match.h"
#include "log_capture.h"
#include "rpc_signature.h"
#include "signer.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

const char kUuid[] = "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}";

// key=value pairs of the URL's query, in order, values left encoded.
Pairs queryOf(const std::string& url) {
    Pairs out;
    const std::string query = url.substr(url.find("/?") + 2) + "&";
    for (size_t start = 0, end; (end = query.find('&', start)) != std::string::npos;
         start = end + 1) {
        const std::string item = query.substr(start, end - start);
        const size_t eq = item.find('=');
        out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    }
    return out;
}

std::string encode(const std::string& text) {
    const SdsPtr encoded(signer_percent_encode(text.c_str()));
    return encoded.get();
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

// Each group of the nonce is printed into a fixed room: a digit too many would run over.
TEST(Nonce, HasTheVersionFourLayout) {
    for (int i = 0; i < 2000; ++i) {
        char nonce[kNonceSize];
        memset(nonce, 'X', sizeof nonce);
        ASSERT_EQ(genSignatureNonce(nonce), nonce);
        ASSERT_TRUE(fullMatch(nonce, kUuid)) << nonce;
    }
}

TEST(BuildRpcHttpsRequest, ParametersInCanonicalOrder) {
    const SignedCall call = signGroupLookup("tok");
    EXPECT_EQ(call.url.rfind("https://monitor-api.cloud.example/?AccessKeyId=AKID&", 0), 0u)
        << call.url;
    std::vector<std::string> keys;
    for (const auto& [k, v] : queryOf(call.url)) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"AccessKeyId", "Action", "Format", "GroupName",
                                              "RegionId", "SecurityToken", "Signature",
                                              "SignatureMethod", "SignatureNonce", "SignatureType",
                                              "SignatureVersion", "Timestamp", "Version"}));
    const Pairs query = queryOf(call.url);
    EXPECT_EQ(query[3].second, "pxr%3A%3Aservice-monitor");
    EXPECT_TRUE(fullMatch(query[8].second, kUuid)) << query[8].second;
    EXPECT_TRUE(fullMatch(query[11].second, "20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]%3A"
                                            "[0-5][0-9]%3A[0-6][0-9]Z"))
        << query[11].second;
}

TEST(BuildRpcHttpsRequest, SignatureCoversTheDoubleEncodedCanonicalQuery) {
    const SignedCall call = signGroupLookup("");
    std::string canonical;
    std::string signature;
    for (const auto& [k, v] : queryOf(call.url)) {
        if (k == "Signature") {
            signature = v;
        } else {
            canonical += (canonical.empty() ? "" : "&") + k + "=" + v;
        }
    }
    const std::string stringToSign = "GET&%2F&" + encode(canonical);
    EXPECT_NE(stringToSign.find("GroupName%3Dpxr%253A%253Aservice-monitor"), std::string::npos);
    EXPECT_NE(call.log.find("stringToSign:" + stringToSign), std::string::npos) << call.log;
    EXPECT_EQ(signature, encode(rpcSignature(stringToSign, "secretKey")));
}

TEST(BuildRpcHttpsRequest, TokenNeverReachesTheLog) {
    const SignedCall ok = signGroupLookup("BearerSecret99");
    EXPECT_NE(ok.url.find("SecurityToken=BearerSecret99&"), std::string::npos);
    EXPECT_EQ(ok.log.find("BearerSecret99"), std::string::npos) << ok.log;

    const SignedCall failed = signGroupLookup("BearerSecret99", nullptr);
    EXPECT_TRUE(failed.url.empty());
    EXPECT_EQ(failed.log.find("BearerSecret99"), std::string::npos) << failed.log;
    EXPECT_NE(failed.log.find("&SecurityToken=***&SignatureMethod="), std::string::npos);
}

TEST(BuildRpcHttpsRequest, MissingCommonValuesFailTheBuild) {
    const ParamListPtr params(paramListNew());
    EXPECT_EQ(buildRpcHttpsRequest("h", params.get(), nullptr, "s", ""), nullptr);
    EXPECT_EQ(buildRpcHttpsRequest(nullptr, params.get(), "a", "s", ""), nullptr);
    EXPECT_EQ(buildRpcHttpsRequest("h", nullptr, "a", "s", ""), nullptr);
    // Without a token pointer the parameter is left out altogether.
    const ParamListPtr noToken(paramListNew());
    const SdsPtr url(buildRpcHttpsRequest("h", noToken.get(), "a", "s", nullptr));
    ASSERT_TRUE(url);
    EXPECT_EQ(std::string(url.get()).find("SecurityToken"), std::string::npos);
}

}  // namespace
