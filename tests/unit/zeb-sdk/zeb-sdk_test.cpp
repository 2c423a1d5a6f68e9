#include "zeb-sdk/zeb-sdk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "local_http_server.h"
#include "log_capture.h"
#include "zeb-sdk/digest.h"
#include "zeb-sdk/zeb-sdk-internal.h"

namespace {

struct ClientDeleter {
    void operator()(CloudSdkClient* c) const noexcept { CloudSdkDeinitIF(c); }
};
using ClientPtr = std::unique_ptr<CloudSdkClient, ClientDeleter>;

constexpr char kUploadPath[] = "/metric/product/tessar/user";

// The value of header `name` in a raw HTTP request.
std::string header(const std::string& request, const std::string& name) {
    const size_t at = request.find("\r\n" + name + ":");
    if (at == std::string::npos) return "<missing>";
    const size_t start = at + name.size() + 3;
    return request.substr(start, request.find("\r\n", start) - start);
}

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

std::string body(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}

ClientPtr uploadClient(const char* token, const LocalHttpServer& server) {
    ClientPtr client(CloudSdkInitIF("AKID", "upload-secret", token, 0));
    snprintf(client->uploadUrl, sizeof client->uploadUrl, "%s", server.url(kUploadPath).c_str());
    return client;
}

TEST(CloudSdkUpdateCredential, NeverOverlapsARequestAndCutsLongValues) {
    const std::string a(500, 'a');
    const std::string b(500, 'b');
    const ClientPtr client(CloudSdkInitIF(a.c_str(), a.c_str(), a.c_str(), 0));
    std::atomic<bool> stop{false};
    std::atomic<int> updates{0};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            const std::string& v = i % 2 ? a : b;
            (void)CloudSdkUpdateCredential(client.get(), v.c_str(), v.c_str(), v.c_str());
            ++updates;
        }
    });
    int mixed = 0;
    for (int i = 0; i < 20000 || updates < 1000; ++i) {
        CloudSdkCredential copy;
        cloudSdkCopyCredential(client.get(), &copy);
        const std::string all =
            std::string(copy.accessKeyId) + copy.accessKeySecret + copy.securityToken;
        mixed += all.find_first_not_of(all[0]) == std::string::npos ? 0 : 1;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);

    // Values are cut to their fields; a missing one changes nothing.
    const std::string longText(1000, 'x');
    const char* l = longText.c_str();
    ASSERT_EQ(CloudSdkUpdateCredential(client.get(), l, l, l), 0);
    EXPECT_EQ(strlen(client->accessKeyId), 127u);
    EXPECT_EQ(strlen(client->accessKeySecret), 127u);
    EXPECT_EQ(strlen(client->securityToken), 575u);
    EXPECT_EQ(CloudSdkUpdateCredential(client.get(), "a", nullptr, "t"), -1);
    EXPECT_EQ(CloudSdkUpdateCredential(nullptr, "a", "s", "t"), -1);
    EXPECT_EQ(strlen(client->accessKeyId), 127u);
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

TEST(CloudSdkPostMetricData, UploadStatusOtherThanTwoHundredFails) {
    for (const int status : {200, 201, 400, 500}) {
        auto& log = LogCapture::begin();
        LocalHttpServer server(status, "{\"Code\":400}");
        const ClientPtr client = uploadClient("", server);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), status == 200 ? 0 : -1)
            << status;
        (void)server.request();
        const std::string text = log.take();
        const std::string line = " status:" + std::string(status == 200 ? "200" : "-1") +
                                 "!req:[1] resp:{\"Code\":400}";
        EXPECT_NE(text.find("POST " + server.url(kUploadPath) + line), std::string::npos) << text;
        EXPECT_EQ(text.find("post metric data failed") == std::string::npos, status == 200);
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

TEST(CloudSdkPostMetricData, AFailedTransferLeavesTheNextOneWhole) {
    // (how the first upload fails, connections then used: one in an unknown state is dropped)
    const std::pair<std::string, size_t> failures[] = {{LocalHttpServer::reply(500, "no"), 1},
                                                       {LocalHttpServer::kDrop, 2},
                                                       {LocalHttpServer::kHold, 2}};
    for (const auto& [failure, connections] : failures) {
        LocalHttpServer server([&failure = failure](const std::string& request) {
            return body(request) == "[0]" ? failure : LocalHttpServer::reply(200, "ok");
        });
        const ClientPtr client = uploadClient("", server);
        LogCapture::begin();
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[0]", 1), -1) << failure;
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), 0) << failure;
        const std::vector<std::string> requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(body(requests[1]), "[1]");
        EXPECT_EQ(server.connections(), connections) << failure;
    }
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
    EXPECT_LE(server.connections(), kMaxUploadsInFlight);
}

TEST(CloudSdkAbort, EndsTransfersInFlightAndFailsLaterOnes) {
    // The first upload is answered; every later request hangs until the abort.
    LocalHttpServer server([](const std::string& request) {
        return body(request) == "[0]" ? LocalHttpServer::reply(200, "ok") : LocalHttpServer::kHold;
    });
    const ClientPtr client = uploadClient("", server);
    LogCapture::begin();
    std::vector<const char*> bodies(20, "[1]");
    bodies[0] = "[0]";
    std::vector<int> results(bodies.size(), 7);
    size_t accepted = 99;
    std::thread uploads([&] {
        accepted = CloudSdkPostMetricDataMany(client.get(), bodies.data(), bodies.size(), 300,
                                              results.data());
    });
    long getStatus = 0;
    std::thread management([&] {
        HTTPResponse response{};
        getStatus = HTTPDataGet(client.get(), server.url("/").c_str(), 300, WriteMemoryCallback,
                                &response);
        HTTPResponseFree(&response);
    });
    const size_t expected = 1 + kMaxUploadsInFlight + 1;  // answered, held uploads, the GET
    const bool allInFlight = server.waitForRequests(expected);
    CloudSdkAbort(client.get());
    uploads.join();
    management.join();
    ASSERT_TRUE(allInFlight);

    EXPECT_EQ(accepted, 1u);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(std::count(results.begin() + 1, results.end(), -1), 19);
    EXPECT_EQ(getStatus, -1);
    EXPECT_EQ(server.requests().size(), expected);  // never more uploads in flight
    EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[0]", 10), -1);
    EXPECT_EQ(server.requests().size(), expected);
}

TEST(HTTPDataGet, WholeBodyAndRawStatusOrMinusOne) {
    const std::string body(5000, 'r');
    LocalHttpServer server(400, body);
    const ClientPtr client(CloudSdkInitIF("ak", "sk", "", 0));
    HTTPResponse response;
    ASSERT_EQ(HTTPResponseInit(&response), 0);
    EXPECT_EQ(HTTPDataGet(client.get(), server.url("/?Action=X").c_str(), 5, WriteMemoryCallback,
                          &response),
              400);
    EXPECT_EQ(std::string(response.data, response.size), body);
    EXPECT_EQ(server.request().rfind("GET /?Action=X HTTP/1.1\r\n", 0), 0u);
    const std::string closed = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/";
    EXPECT_EQ(HTTPDataPost(client.get(), closed.c_str(), "{}", 5, &response), -1);
    HTTPResponseFree(&response);
    EXPECT_EQ(response.data, nullptr);
}

TEST(WriteMemoryCallback, JoinsPiecesAndRefusesOverflowingSizes) {
    HTTPResponse response;
    ASSERT_EQ(HTTPResponseInit(&response), 0);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        std::string piece = std::to_string(i) + ",";
        expected += piece;
        ASSERT_EQ(WriteMemoryCallback(piece.data(), 1, piece.size(), &response), piece.size());
        ASSERT_EQ(response.data[response.size], '\0');
    }
    EXPECT_EQ(std::string(response.data, response.size), expected);
    // Sizes whose product overflows are refused, not wrapped.
    char none = 'z';
    EXPECT_EQ(WriteMemoryCallback(&none, SIZE_MAX / 2, 3, &response), 0u);
    EXPECT_EQ(response.size, expected.size());
    HTTPResponseFree(&response);
    HTTPResponseFree(&response);
}

}  // namespace
