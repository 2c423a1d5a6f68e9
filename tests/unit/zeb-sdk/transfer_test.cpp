#include "transfer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cloud_client.h"
#include "local_http_server.h"
#include "log_capture.h"
#include "raii.h"
#include "test_cas.h"
#include "upload_window.h"
#include "zeb-sdk.h"

namespace {

// The OpenSSL policy of a gateway image looser than Debian's: TLS 1.0 and 1.1 allowed, so
// that only the client's own minimum keeps them out. Set before OpenSSL reads its
// configuration, which happens once per process.
const bool kLoosePolicy = [] {
    char name[] = "/tmp/sm_transfer_test_openssl_XXXXXX";
    close(mkstemp(name));
    std::ofstream(name) << "openssl_conf = conf\n[conf]\nssl_conf = ssl\n[ssl]\n"
                           "system_default = policy\n[policy]\nMinProtocol = TLSv1\n"
                           "CipherString = DEFAULT@SECLEVEL=0\n";
    return setenv("OPENSSL_CONF", name, 1) == 0;
}();

LocalServerOptions tlsOptions(const TestCas& cas, int maxVersion = 0, int idleCloseMs = 0) {
    return {cas.file("server.pem"), cas.file("server.key"), maxVersion, idleCloseMs};
}

LocalHttpServer::Answer answerOk(bool closeAfter = false) {
    const std::string reply = closeAfter ? "HTTP/1.1 200 OK\r\nConnection: close\r\n"
                                           "Content-Length: 2\r\n\r\nok"
                                         : LocalHttpServer::reply(200, "ok");
    return [reply](const std::string&) { return reply; };
}

ClientPtr clientOf(const LocalHttpServer& server, const TestCas& cas) {
    ClientPtr client(CloudSdkInitIF("AKID", "secret", "", 0));
    snprintf(client->uploadUrl, sizeof client->uploadUrl, "%s", server.url("/m").c_str());
    snprintf(client->caPath, sizeof client->caPath, "%s", cas.bundle().c_str());
    return client;
}

class TransferChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kLoosePolicy);
        ASSERT_TRUE(cas_.made()) << "the test CA script failed";
    }
    TestCas cas_;
};

// A front end closes kept connections after its idle time-out; when that crosses a request
// whose sending outlasts the close (a body larger than the socket buffers, but under
// libcurl's 1 MB for "Expect: 100-continue"), the send fails, which libcurl does not retry.
TEST_F(TransferChannelTest, ServerClosingIdleConnectionsLosesNoUpload) {
    const std::string big = "[" + std::string(900000, '7') + "]";
    // (server's idle time-out, wait between the uploads, resent on a fresh connection)
    const struct {
        int idleCloseMs;
        int waitMs;
        bool resent;
    } cases[] = {{300, 600, true}, {3500, 3200, false}};  // past our own idle bound: not kept
    for (const auto& c : cases) {
        LocalHttpServer server(answerOk(), tlsOptions(cas_, 0, c.idleCloseMs));
        const ClientPtr client = clientOf(server, cas_);
        LogCapture::begin();
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), 0);
        usleep(static_cast<useconds_t>(c.waitMs) * 1000);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), big.c_str(), 5), 0) << c.idleCloseMs;
        EXPECT_EQ(server.idleCloses(), c.resent ? 1u : 0u) << c.idleCloseMs;
        EXPECT_EQ(server.requests().size(), 2u);  // the closed one was never read
        EXPECT_EQ(server.connections(), 2u);
    }
}

// Kept connections and resumable sessions were verified against the bundle of their day.
TEST_F(TransferChannelTest, ChangedCaBundleReachesKeptConnectionsAndSessions) {
    for (const bool closeAfterReply : {false, true}) {
        LocalHttpServer server(answerOk(closeAfterReply), tlsOptions(cas_));
        const ClientPtr client = clientOf(server, cas_);
        LogCapture::begin();
        cas_.trust(1);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), 0);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[2]", 5), 0);
        EXPECT_EQ(server.connections(), closeAfterReply ? 2u : 1u);
        EXPECT_EQ(server.resumedSessions(), closeAfterReply ? 1u : 0u);
        cas_.trust(2);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[3]", 5), -1) << closeAfterReply;
        cas_.trust(1);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[4]", 5), 0) << closeAfterReply;
    }
}

TEST_F(TransferChannelTest, RefusesServersOfferingOnlyVersionsBelowTls12) {
    LocalHttpServer server(answerOk(), tlsOptions(cas_, TLS1_1_VERSION));
    // The same server is reached by a client without a minimum under this policy.
    const CurlPtr plain(curl_easy_init());
    curl_easy_setopt(plain.get(), CURLOPT_URL, server.url("/m").c_str());
    curl_easy_setopt(plain.get(), CURLOPT_CAINFO, cas_.bundle().c_str());
    curl_easy_setopt(plain.get(), CURLOPT_WRITEFUNCTION, WriteMemoryCallback);
    HTTPResponse response{};
    curl_easy_setopt(plain.get(), CURLOPT_WRITEDATA, &response);
    const CURLcode plainCode = curl_easy_perform(plain.get());
    HTTPResponseFree(&response);
    if (plainCode != CURLE_OK || server.connections() != 1) {
        GTEST_SKIP() << "this machine's OpenSSL offers no TLS 1.0 or 1.1: "
                     << curl_easy_strerror(plainCode);
    }
    const ClientPtr client = clientOf(server, cas_);
    auto& log = LogCapture::begin();
    EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), -1);
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_NE(log.take().find("curl_easy_perform() failed: SSL connect error"), std::string::npos);
}

// The certificate names localhost, not other.localhost, which libcurl resolves to the
// loopback address all the same: only the host name check tells the two apart.
TEST_F(TransferChannelTest, CertificateForAnotherHostNameFailsUploadAndManagementCall) {
    const std::string codeOk = LocalHttpServer::reply(200, "{\"Code\":200}");
    LocalHttpServer server([&](const std::string&) { return codeOk; }, tlsOptions(cas_));
    for (const std::string host : {"localhost", "other.localhost"}) {
        const bool named = host == "localhost";
        const ClientPtr client = clientOf(server, cas_);
        const std::string authority = host + ":" + std::to_string(server.port());
        snprintf(client->uploadUrl, sizeof client->uploadUrl, "https://%s/m", authority.c_str());
        client->apiHost = authority.c_str();
        auto& log = LogCapture::begin();
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), named ? 0 : -1) << host;
        EXPECT_EQ(CloudSdkDeleteGroup(client.get(), "12", 5), named ? 0 : -1) << host;
        // Refused for the name, not for want of a connection.
        const std::string text = log.take();
        EXPECT_EQ(text.find("SSL peer certificate or SSH remote key was not OK") !=
                      std::string::npos,
                  !named)
            << text;
    }
    EXPECT_EQ(server.requests().size(), 2u);  // the upload and the call under the right name
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
    // Answered, held uploads (the window opened by one for the answered one), the GET.
    const size_t expected = 1 + (upload_window::kStart + 1) + 1;
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

}  // namespace
