#include "zeb-sdk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "cloud_client.h"
#include "local_http_server.h"
#include "zeb-sdk-internal.h"

namespace {

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
