#include "zeb-sdk/zeb-sdk.h"

#include <gtest/gtest.h>

#include "full_match.h"

#include <algorithm>
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

constexpr char kEmptyMd5[] = "D41D8CD98F00B204E9800998ECF8427E";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    out.push_back(text.substr(start));
    return out;
}

// Header lines of a raw HTTP request, in order, without the request line.
std::vector<std::string> headerLines(const std::string& request) {
    std::vector<std::string> out;
    const std::string head = request.substr(0, request.find("\r\n\r\n"));
    size_t start = head.find("\r\n") + 2;
    while (start < head.size()) {
        size_t end = head.find("\r\n", start);
        if (end == std::string::npos) end = head.size();
        out.push_back(head.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

std::string headerValue(const std::vector<std::string>& headers, const std::string& name) {
    for (const auto& h : headers) {
        if (h.rfind(name + ":", 0) == 0) return h.substr(name.size() + 1);
    }
    return "<missing>";
}

std::string hmacHex(const std::string& data, const std::string& key) {
    char out[kSha1HexSize + 1] = {};
    hmac_sha1_hex(
        reinterpret_cast<const unsigned char*>(data.data()), static_cast<uint32_t>(data.size()),
        out, reinterpret_cast<const unsigned char*>(key.data()), static_cast<uint32_t>(key.size()));
    return out;
}

ClientPtr localUploadClient(const char* token, const LocalHttpServer& server) {
    ClientPtr client(CloudSdkInitIF("AKID", "upload-secret", token, 0));
    snprintf(client->uploadUrl, sizeof client->uploadUrl, "%s",
             server.url("/metric/product/tessar/user").c_str());
    return client;
}

TEST(CloudSdkInit, FieldsOfBothEnvironments) {
    auto& log = LogCapture::begin();
    const ClientPtr prod(CloudSdkInitIF("ak", "sk", "", 0));
    ASSERT_TRUE(prod);
    EXPECT_STREQ(prod->apiHost, "monitor-api.cloud.example");
    EXPECT_STREQ(prod->uploadHost, "metrics.cloud.example");
    EXPECT_STREQ(prod->uploadPath, "/metric/product/tessar/user");
    EXPECT_STREQ(prod->uploadUrl, "https://metrics.cloud.example/metric/product/tessar/user");
    EXPECT_EQ(prod->verbose, 0);
    EXPECT_EQ(prod->preEnvironment, 0u);
    const std::string caPath = prod->caPath;
    EXPECT_EQ(caPath.substr(caPath.size() - 34), "/config/service-monitor/cacert.pem");
    const std::string text = log.take();
    EXPECT_NE(text.find("ca path:" + caPath), std::string::npos) << text;
    EXPECT_NE(text.find("ca file doesn't exist, maybe fail in use"), std::string::npos);

    const ClientPtr pre(CloudSdkInitIF("ak", "sk", "", 7));
    EXPECT_STREQ(pre->uploadUrl, "http://metrics-pre.cloud.example/metric/product/tessar/user");
    EXPECT_STREQ(pre->apiHost, "monitor-api.cloud.example");
    EXPECT_EQ(pre->preEnvironment, 7u);
    CloudSdkDeinitIF(nullptr);
}

TEST(CloudSdkUpdateCredential, CutsLongValuesAndRejectsNulls) {
    const ClientPtr client(CloudSdkInitIF(nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(client);
    EXPECT_STREQ(client->accessKeyId, "");
    const std::string longText(1000, 'x');
    ASSERT_EQ(CloudSdkUpdateCredential(client.get(), longText.c_str(), longText.c_str(),
                                       longText.c_str()),
              0);
    EXPECT_EQ(strlen(client->accessKeyId), 127u);
    EXPECT_EQ(strlen(client->accessKeySecret), 127u);
    EXPECT_EQ(strlen(client->securityToken), 575u);
    EXPECT_EQ(CloudSdkUpdateCredential(client.get(), "a", nullptr, "t"), -1);
    EXPECT_EQ(CloudSdkUpdateCredential(nullptr, "a", "s", "t"), -1);
    EXPECT_EQ(strlen(client->accessKeyId), 127u);
}

TEST(CloudSdkUpdateCredential, NeverOverlapsARequestReadingTheCredentials) {
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
        const char c = copy.accessKeyId[0];
        const bool same =
            std::string(copy.accessKeyId).find_first_not_of(c) == std::string::npos &&
            std::string(copy.accessKeySecret).find_first_not_of(c) == std::string::npos &&
            std::string(copy.securityToken).find_first_not_of(c) == std::string::npos;
        mixed += same ? 0 : 1;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
}

TEST(UploadStringToSign, EightLinesWithoutTokenAndSortedServiceHeadersWithOne) {
    const SdsPtr plain(cloudSdkUploadStringToSign(kEmptyMd5, "Thu, 01 Jan 2025 00:00:00 GMT", "",
                                                  "/metric/product/tessar/user"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(lines(plain.get()),
              (std::vector<std::string>{"POST", kEmptyMd5, "application/json",
                                        "Thu, 01 Jan 2025 00:00:00 GMT", "x-zeb-api-version:1.0",
                                        "x-zeb-ip:127.0.0.1", "x-zeb-signature:hmac-sha1",
                                        "/metric/product/tessar/user"}));
    const SdsPtr withToken(
        cloudSdkUploadStringToSign("ABC", "D", "T0K", "/metric/product/tessar/user"));
    EXPECT_STREQ(withToken.get(),
                 "POST\nABC\napplication/json\nD\nx-zeb-api-version:1.0\nx-zeb-caller-type:token\n"
                 "x-zeb-ip:127.0.0.1\nx-zeb-security-token:T0K\nx-zeb-signature:hmac-sha1\n"
                 "/metric/product/tessar/user");
}

TEST(GetGmtDate, TwentyNineCharacterRfc1123Date) {
    char date[32] = {};
    EXPECT_EQ(GetGmtDate(date, sizeof date), 0);
    EXPECT_TRUE(
        fullMatch(std::string(date),
                         std::string("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                                    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 20[0-9]{2} "
                                    "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT")))
        << date;
}

TEST(HTTPDataPost, SignedUploadWithoutToken) {
    LocalHttpServer server(200, "{\"ok\":true}");
    const ClientPtr client = localUploadClient("", server);
    const char* body = "[{\"metric\":\"cpu\",\"value\":1}]";
    HTTPResponse response;
    ASSERT_EQ(HTTPResponseInit(&response), 0);
    EXPECT_EQ(HTTPDataPost(client.get(), client->uploadUrl, body, 5, &response), 200);
    EXPECT_STREQ(response.data, "{\"ok\":true}");
    HTTPResponseFree(&response);

    const std::string request = server.request();
    EXPECT_EQ(request.rfind("POST /metric/product/tessar/user HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), body);
    const auto headers = headerLines(request);
    // libcurl always sends Host first; the other lines keep the order they were given in.
    std::vector<std::string> ours;
    for (const auto& h : headers) {
        if (h.find(": ") == std::string::npos && h.rfind("Host:", 0) != 0) {
            ours.push_back(h.substr(0, h.find(':')));
        }
    }
    EXPECT_EQ(ours, (std::vector<std::string>{"x-zeb-api-version", "x-zeb-ip", "x-zeb-signature",
                                              "User-Agent", "Content-Type", "Date", "Content-MD5",
                                              "Authorization"}));
    EXPECT_EQ(headerValue(headers, "Host"), "metrics.cloud.example");
    EXPECT_EQ(headerValue(headers, "User-Agent"), "zeb-java-sdk-v-1.0");
    EXPECT_EQ(headerValue(headers, "Content-Type"), "application/json");
    EXPECT_EQ(headerValue(headers, "x-zeb-caller-type"), "<missing>");

    char md5[kMd5HexSize + 1] = {};
    md5_hex(reinterpret_cast<const unsigned char*>(body), static_cast<int32_t>(strlen(body)), md5);
    EXPECT_EQ(headerValue(headers, "Content-MD5"), md5);
    const std::string stringToSign = std::string("POST\n") + md5 + "\napplication/json\n" +
                                     headerValue(headers, "Date") +
                                     "\nx-zeb-api-version:1.0\nx-zeb-ip:127.0.0.1\n"
                                     "x-zeb-signature:hmac-sha1\n/metric/product/tessar/user";
    EXPECT_EQ(headerValue(headers, "Authorization"),
              "AKID:" + hmacHex(stringToSign, "upload-secret"));
}

TEST(HTTPDataPost, TokenHeadersAndEmptyBody) {
    LocalHttpServer server(200, "");
    const ClientPtr client = localUploadClient("sts-token", server);
    EXPECT_EQ(CloudSdkPostMetricData(client.get(), "", 5), 0);
    const auto headers = headerLines(server.request());
    EXPECT_EQ(headerValue(headers, "x-zeb-caller-type"), "token");
    EXPECT_EQ(headerValue(headers, "x-zeb-security-token"), "sts-token");
    EXPECT_EQ(headerValue(headers, "Content-MD5"), kEmptyMd5);
    const std::string stringToSign = std::string("POST\n") + kEmptyMd5 + "\napplication/json\n" +
                                     headerValue(headers, "Date") +
                                     "\nx-zeb-api-version:1.0\nx-zeb-caller-type:token\n"
                                     "x-zeb-ip:127.0.0.1\nx-zeb-security-token:sts-token\n"
                                     "x-zeb-signature:hmac-sha1\n/metric/product/tessar/user";
    EXPECT_EQ(headerValue(headers, "Authorization"),
              "AKID:" + hmacHex(stringToSign, "upload-secret"));
}

TEST(CloudSdkPostMetricData, AnyStatusButTwoHundredFails) {
    for (const int status : {201, 400, 500}) {
        auto& log = LogCapture::begin();
        LocalHttpServer server(status, "{\"Code\":400}");
        const ClientPtr client = localUploadClient("", server);
        EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[1]", 5), -1) << status;
        (void)server.request();
        const std::string text = log.take();
        EXPECT_NE(text.find("FAIL"), std::string::npos);
        EXPECT_NE(text.find("POST " + server.url("/metric/product/tessar/user") +
                            " status:-1!req:[1] resp:{\"Code\":400}"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("post metric data failed"), std::string::npos);
    }
}

TEST(CloudSdkPostMetricData, SuccessIsLoggedAtTraceLevel) {
    auto& log = LogCapture::begin();
    LocalHttpServer server(200, "fine");
    const ClientPtr client = localUploadClient("", server);
    EXPECT_EQ(CloudSdkPostMetricData(client.get(), "[2]", 5), 0);
    (void)server.request();
    const std::string text = log.take();
    EXPECT_NE(text.find("TRACE"), std::string::npos);
    EXPECT_NE(text.find("status:200!req:[2] resp:fine"), std::string::npos) << text;
    EXPECT_EQ(text.find("post metric data failed"), std::string::npos);
}

TEST(HTTPDataGet, FixedHeaderSetAndRawStatus) {
    const std::string body(5000, 'r');
    LocalHttpServer server(400, body, 7);
    const ClientPtr client(CloudSdkInitIF("ak", "sk", "", 0));
    HTTPResponse response;
    ASSERT_EQ(HTTPResponseInit(&response), 0);
    EXPECT_EQ(HTTPDataGet(client.get(), server.url("/?Action=X").c_str(), 5, WriteMemoryCallback,
                          &response),
              400);
    ASSERT_NE(response.data, nullptr);
    EXPECT_EQ(std::string(response.data), body);
    EXPECT_EQ(response.size, body.size());
    HTTPResponseFree(&response);
    EXPECT_EQ(response.data, nullptr);

    const std::string request = server.request();
    EXPECT_EQ(request.rfind("GET /?Action=X HTTP/1.1\r\n", 0), 0u);
    const auto headers = headerLines(request);
    const std::vector<std::string> fixed = {
        "Content-Length:0",
        "User-Agent:TessarCloud (linux; amd64) Golang/1.11.2 Core/0.0.1",
        "Accept-Encoding: identity",
        "Content-Type: application/x-www-form-urlencoded",
        "x-sdk-client: golang/1.0.0",
        "x-sdk-core-version: 0.0.1",
        "x-sdk-invoke-type: normal"};
    size_t at = 0;
    for (const auto& line : fixed) {
        const auto it = std::find(headers.begin() + static_cast<long>(at), headers.end(), line);
        ASSERT_NE(it, headers.end()) << line;
        at = static_cast<size_t>(it - headers.begin());
    }
}

TEST(HTTPDataGet, TransferErrorsGiveMinusOne) {
    auto& log = LogCapture::begin();
    const ClientPtr client(CloudSdkInitIF("ak", "sk", "", 0));
    HTTPResponse response;
    ASSERT_EQ(HTTPResponseInit(&response), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/";
    EXPECT_EQ(HTTPDataGet(client.get(), url.c_str(), 5, WriteMemoryCallback, &response), -1);
    EXPECT_NE(log.take().find("curl_easy_perform() failed: "), std::string::npos);
    EXPECT_EQ(HTTPDataPost(client.get(), url.c_str(), "{}", 5, &response), -1);
    EXPECT_NE(log.take().find("curl_easy_perform() failed: "), std::string::npos);
    HTTPResponseFree(&response);
    EXPECT_EQ(HTTPResponseInit(nullptr), -1);
}

TEST(WriteMemoryCallback, JoinsPiecesInOrderAndKeepsTheNul) {
    HTTPResponse response;
    ASSERT_EQ(HTTPResponseInit(&response), 0);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        std::string piece = std::to_string(i) + ",";
        expected += piece;
        ASSERT_EQ(WriteMemoryCallback(piece.data(), 1, piece.size(), &response), piece.size());
        ASSERT_EQ(response.data[response.size], '\0');
    }
    char none = 'z';
    EXPECT_EQ(WriteMemoryCallback(&none, 1, 0, &response), 0u);
    EXPECT_EQ(std::string(response.data, response.size), expected);
    EXPECT_EQ(strlen(response.data), expected.size());
    // Sizes whose product overflows are refused, not wrapped.
    EXPECT_EQ(WriteMemoryCallback(&none, SIZE_MAX / 2, 3, &response), 0u);
    HTTPResponseFree(&response);
    HTTPResponseFree(&response);
}

TEST(GetResourceFromBody, ChecksCodeResourcesAndResource) {
    const struct {
        const char* body;
        bool found;
        const char* logLine;
    } cases[] = {
        {"{\"Code\":200,\"Resources\":{\"Resource\":[1]}}", true, ""},
        {"{\"Code\":200,\"Resources\":{\"Resource\":\"x\"}}", true, ""},
        {"{\"Resources\":{\"Resource\":[]}}", false, "json object(Code) is invalid"},
        {"{\"Code\":\"200\",\"Resources\":{\"Resource\":[]}}", false,
         "json object(Code) is invalid"},
        {"{\"Code\":403,\"Resources\":{\"Resource\":[]}}", false, "json code != 200"},
        {"{\"Code\":200}", false, "json object(Resources) is invalid"},
        {"{\"Code\":200,\"Resources\":[]}", false, "json object(Resource) is invalid"},
        {"{\"Code\":200,\"Resources\":{\"resource\":[]}}", false,
         "json object(Resource) is invalid"},
    };
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        cJSON* root = cJSON_Parse(c.body);
        ASSERT_NE(root, nullptr) << c.body;
        EXPECT_EQ(getResourceFromBody(root) != nullptr, c.found) << c.body;
        EXPECT_NE(log.take().find(c.logLine), std::string::npos) << c.body;
        cJSON_Delete(root);
    }
    EXPECT_EQ(getResourceFromBody(nullptr), nullptr);
}

TEST(PrintHttpPacket, FormatLevelAndRedaction) {
    auto& log = LogCapture::begin();
    PrintHttpPacket(200, nullptr, "u", "q", "r");
    PrintHttpPacket(200, "GET", nullptr, "q", "r");
    EXPECT_EQ(log.take(), "");
    PrintHttpPacket(200, "GET", "https://h/?A=1&SecurityToken=SuperSecret&B=2", nullptr, nullptr);
    std::string text = log.take();
    EXPECT_NE(text.find("TRACE"), std::string::npos);
    EXPECT_NE(text.find("GET https://h/?A=1&SecurityToken=***&B=2 status:200!req: resp:"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("SuperSecret"), std::string::npos);
    PrintHttpPacket(404, "GET", "https://h/", nullptr, "nf");
    text = log.take();
    EXPECT_NE(text.find("FAIL"), std::string::npos);
    EXPECT_NE(text.find("status:404!req: resp:nf"), std::string::npos);
}

}  // namespace
