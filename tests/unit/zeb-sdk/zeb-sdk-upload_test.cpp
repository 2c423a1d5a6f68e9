#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "cloud_client.h"
#include "local_http_server.h"
#include "log_capture.h"
#include "digest.h"
#include "upload_window.h"
#include "zeb-sdk.h"

namespace {

std::string hmacHex(const std::string& data, const std::string& key) {
    char out[kSha1HexSize + 1] = {};
    hmac_sha1_hex(
        reinterpret_cast<const unsigned char*>(data.data()), static_cast<uint32_t>(data.size()),
        out, reinterpret_cast<const unsigned char*>(key.data()), static_cast<uint32_t>(key.size()));
    return out;
}

// The Authorization value an upload request must carry when signed with this credential.
std::string expectedAuthorization(const std::string& request, const std::string& keyId,
                                  const std::string& secret, const std::string& token) {
    const std::string stringToSign =
        "POST\n" + header(request, "Content-MD5") + "\napplication/json\n" +
        header(request, "Date") + "\nx-zeb-api-version:1.0\n" +
        (token.empty() ? "" : "x-zeb-caller-type:token\n") + "x-zeb-ip:127.0.0.1\n" +
        (token.empty() ? "" : "x-zeb-security-token:" + token + "\n") +
        "x-zeb-signature:hmac-sha1\n" + kUploadPath;
    return keyId + ":" + hmacHex(stringToSign, secret);
}

// The upload is signed over the headers the cloud checks; the token adds two of them.
TEST(CloudSdkPostMetricData, SignedUploadWithAndWithoutToken) {
    const char* body = "[{\"metric\":\"cpu\",\"value\":1}]";
    for (const std::string token : {"", "sts-token"}) {
        LocalHttpServer server(200, "{\"ok\":true}");
        const ClientPtr client = uploadClient(token.c_str(), server);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), body, 5), 0);
        const std::string request = server.request();
        EXPECT_EQ(request.rfind(std::string("POST ") + kUploadPath + " HTTP/1.1\r\n", 0), 0u);
        EXPECT_EQ(::body(request), body);
        EXPECT_EQ(header(request, "Host"), "metrics.cloud.example");
        char md5[kMd5HexSize + 1] = {};
        md5_hex(reinterpret_cast<const unsigned char*>(body), static_cast<int32_t>(strlen(body)),
                md5);
        EXPECT_EQ(header(request, "Content-MD5"), md5);
        EXPECT_EQ(header(request, "Authorization"),
                  expectedAuthorization(request, "AKID", "upload-secret", token))
            << token;
        EXPECT_EQ(header(request, "x-zeb-security-token"), token.empty() ? "<missing>" : token);
    }
}

// Any 2xx is taken (result 0, logged as 200); a redirect is not followed and, like every
// other answer, reported with its status (the single call gives -1 for all of them).
TEST(CloudSdkPostMetricData, EveryTwoHundredIsTakenAndNoRedirectFollowed) {
    for (const int status : {200, 201, 202, 204, 301, 302, 304, 400, 404, 429, 500, 503}) {
        const bool taken = status / 100 == 2;
        // 204 and 304 carry no body.
        const std::string reply = status == 204 || status == 304 ? "" : "{\"Code\":400}";
        auto& log = LogCapture::begin();
        LocalHttpServer server([&](const std::string&) {
            return "HTTP/1.1 " + std::to_string(status) + " Test\r\nLocation: /elsewhere\r\n" +
                   "Content-Length: " + std::to_string(reply.size()) + "\r\n\r\n" + reply;
        });
        const ClientPtr client = uploadClient("", server);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), taken ? 0 : -1) << status;
        const char* body = "[2]";
        int result = 7;
        EXPECT_EQ(CloudSdkPostMetricDataMany(client.get(), &body, 1, 5, &result), taken ? 1U : 0U);
        EXPECT_EQ(result, taken ? 0 : status);
        EXPECT_EQ(server.requests().size(), 2U) << status;  // nothing sent to /elsewhere
        const std::string text = log.take();
        const std::string line = " status:" + std::string(taken ? "200" : "-1") + "!req:[1] resp:";
        EXPECT_NE(text.find("POST " + server.url(kUploadPath) + line + reply), std::string::npos)
            << text;
        EXPECT_EQ(text.find("post metric data failed") == std::string::npos, taken) << status;
    }
}

// A kept connection carries each request's own credential, signature and token headers.
TEST(CloudSdkPostMetricData, KeptConnectionCarriesEachRequestsOwnCredential) {
    LocalHttpServer server(200, "ok");
    const ClientPtr client = uploadClient("TOKEN1", server);
    EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), 0);
    ASSERT_EQ(CloudSdkUpdateCredential(client.get(), "AK2", "SK2", ""), 0);
    EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[2]", 5), 0);

    EXPECT_EQ(server.connections(), 1u);
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(header(requests[0], "Authorization"),
              expectedAuthorization(requests[0], "AKID", "upload-secret", "TOKEN1"));
    EXPECT_EQ(header(requests[1], "Authorization"),
              expectedAuthorization(requests[1], "AK2", "SK2", ""));
    EXPECT_EQ(header(requests[1], "x-zeb-security-token"), "<missing>");
    EXPECT_EQ(header(requests[1], "x-zeb-caller-type"), "<missing>");
}

TEST(CloudSdkPostMetricDataMany, EveryBodyOfALargeBatchOnceWithExactResults) {
    constexpr size_t kCount = 1000;
    // Each refusal reported with its status, so that the caller can tell what may pass.
    const auto status = [](size_t i) {
        for (const int code : {503, 429, 403, 400}) {
            if (i % static_cast<size_t>(code / 4) == 7) return code;
        }
        return 200;
    };
    const auto refused = [&](size_t i) { return status(i) != 200; };
    LocalHttpServer server([&](const std::string& request) {
        const size_t i = std::stoul(body(request).substr(1));
        return LocalHttpServer::reply(status(i), "");
    });
    const ClientPtr client = uploadClient("", server);
    std::vector<std::string> bodies;
    std::vector<const char*> texts;
    for (size_t i = 0; i < kCount; ++i) bodies.push_back("[" + std::to_string(i) + "]");
    for (const std::string& b : bodies) texts.push_back(b.c_str());
    std::vector<int> results(kCount, 7);
    LogCapture::begin();
    const size_t accepted =
        CloudSdkPostMetricDataMany(client.get(), texts.data(), kCount, 10, results.data());

    size_t expectedAccepted = 0;
    for (size_t i = 0; i < kCount; ++i) {
        EXPECT_EQ(results[i], refused(i) ? status(i) : 0) << i;
        expectedAccepted += refused(i) ? 0 : 1;
    }
    EXPECT_EQ(accepted, expectedAccepted);
    std::vector<std::string> received;
    for (const std::string& request : server.requests()) received.push_back(body(request));
    std::sort(received.begin(), received.end());
    std::sort(bodies.begin(), bodies.end());
    EXPECT_EQ(received, bodies);
    EXPECT_LE(server.connections(), upload_window::kMaxConnections);  // HTTP/1.1 here
}

// A link that vanishes (no answer, no reset) costs one time-out per batch, not one per body:
// whether it is gone from the start or goes in the middle of the batch, no body starts once
// one has timed out, and those not sent are told apart from those that got no answer.
TEST(CloudSdkPostMetricDataMany, ALostLinkCostsOneTimeOutPerBatch) {
    constexpr size_t kCount = 200;
    for (const size_t answered : {size_t{0}, size_t{20}}) {
        std::atomic<size_t> seen{0};
        LocalHttpServer server([&](const std::string&) {
            return seen++ < answered ? LocalHttpServer::reply(200, "") : LocalHttpServer::kHold;
        });
        const ClientPtr client = uploadClient("", server);
        const std::vector<std::string> bodies(kCount, "[1]");
        std::vector<const char*> texts;
        for (const std::string& b : bodies) texts.push_back(b.c_str());
        std::vector<int> results(kCount, 7);
        EXPECT_EQ(CloudSdkPostMetricDataMany(client.get(), texts.data(), kCount, 1,
                                             results.data()),
                  answered);
        const auto count = [&](int result) {
            return static_cast<size_t>(std::count(results.begin(), results.end(), result));
        };
        EXPECT_EQ(count(0), answered);
        EXPECT_GE(count(-1), 1U);
        EXPECT_LE(count(-1), upload_window::kMaxConnections);  // one flight timed out
        EXPECT_EQ(count(0) + count(-1) + count(kUploadNotTried), kCount);
        EXPECT_EQ(server.requests().size(), count(0) + count(-1)) << "a body not sent went out";
    }
}

}  // namespace
