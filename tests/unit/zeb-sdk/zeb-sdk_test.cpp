#include "zeb-sdk/zeb-sdk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
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
        EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), body);
        EXPECT_EQ(header(request, "Host"), "metrics.cloud.example");
        char md5[kMd5HexSize + 1] = {};
        md5_hex(reinterpret_cast<const unsigned char*>(body), static_cast<int32_t>(strlen(body)),
                md5);
        EXPECT_EQ(header(request, "Content-MD5"), md5);
        const std::string stringToSign =
            std::string("POST\n") + md5 + "\napplication/json\n" + header(request, "Date") +
            "\nx-zeb-api-version:1.0\n" + (token.empty() ? "" : "x-zeb-caller-type:token\n") +
            "x-zeb-ip:127.0.0.1\n" + (token.empty() ? "" : "x-zeb-security-token:" + token + "\n") +
            "x-zeb-signature:hmac-sha1\n" + kUploadPath;
        EXPECT_EQ(header(request, "Authorization"),
                  "AKID:" + hmacHex(stringToSign, "upload-secret"))
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
