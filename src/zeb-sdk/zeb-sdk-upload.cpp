// The signed metric upload: one POST per body, several bodies in flight over the client's
// kept upload connections. Each request is signed anew with a snapshot of the credentials.
#include <climits>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "raii.h"
#include "digest.h"
#include "transfer.h"
#include "zeb-sdk-internal.h"
#include "zeb-sdk.h"

namespace {

constexpr size_t kUploadStringToSignRoom = 128;
constexpr size_t kAuthorizationRoom = 64;
constexpr size_t kDateSize = 32;

// Header lines of the upload before the Authorization line, in their fixed order.
[[nodiscard]] bool buildUploadHeaders(CurlSlistPtr& list, const CloudSdkClient* client,
                                      const char* token, const char* date, const char* md5) {
    char tokenLine[800];
    char hostLine[69];
    char dateLine[64];
    char md5Line[64];
    snprintf(tokenLine, sizeof tokenLine, "x-zeb-security-token:%s", token);
    snprintf(hostLine, sizeof hostLine, "Host:%s", client->uploadHost);
    snprintf(dateLine, sizeof dateLine, "Date:%s", date);
    snprintf(md5Line, sizeof md5Line, "Content-MD5:%s", md5);
    const bool hasToken = token[0] != '\0';
    return cloudSdkAppendHeader(list, "x-zeb-api-version:1.0") &&
           cloudSdkAppendHeader(list, "x-zeb-ip:127.0.0.1") &&
           cloudSdkAppendHeader(list, "x-zeb-signature:hmac-sha1") &&
           (!hasToken || (cloudSdkAppendHeader(list, "x-zeb-caller-type:token") &&
                          cloudSdkAppendHeader(list, tokenLine))) &&
           cloudSdkAppendHeader(list, hostLine) &&
           cloudSdkAppendHeader(list, "User-Agent:zeb-java-sdk-v-1.0") &&
           cloudSdkAppendHeader(list, "Content-Type:application/json") &&
           cloudSdkAppendHeader(list, dateLine) && cloudSdkAppendHeader(list, md5Line) &&
           // Not sent: libcurl's default "Accept: */*" says what its absence says, and
           // costs every upload 13 bytes on a metered link.
           cloudSdkAppendHeader(list, "Accept:");
}

// The signed header list of one upload, or false with "no memory" logged: a partial
// signature text would only produce a signature the server rejects.
[[nodiscard]] bool signUpload(CloudSdkClient* client, const char* body, size_t bodyLength,
                              CurlSlistPtr& headers) {
    CloudSdkCredential credential;
    cloudSdkCopyCredential(client, &credential);
    char date[kDateSize] = {};
    (void)GetGmtDate(date, sizeof date);
    char contentMd5[kMd5HexSize + 1] = {};
    md5_hex(reinterpret_cast<const unsigned char*>(body),
            bodyLength > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bodyLength), contentMd5);
    const SdsPtr stringToSign(
        cloudSdkUploadStringToSign(contentMd5, date, credential.securityToken, client->uploadPath));
    const SdsPtr authorization(
        stringToSign ? cloudSdkUploadAuthorization(stringToSign.get(), &credential) : nullptr);
    headers.reset();
    if (!stringToSign || !authorization ||
        !buildUploadHeaders(headers, client, credential.securityToken, date, contentMd5) ||
        !cloudSdkAppendHeader(headers, authorization.get())) {
        SM_LOG(2, "no memory\n");
        return false;
    }
    return true;
}

[[nodiscard]] bool prepareUpload(CURL* curl, CloudSdkClient* client, const char* url,
                                 const char* body, int timeoutSeconds, CurlSlistPtr& headers,
                                 HTTPResponse* response) {
    if (url == nullptr || body == nullptr) return false;
    const size_t bodyLength = strlen(body);
    if (!signUpload(client, body, bodyLength, headers)) return false;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(bodyLength));
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteMemoryCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, response);
    cloudSdkSetVerifiedTransfer(curl, client);
    return true;
}

// The HTTP status of an answered upload, or -1 when no answer came (the libcurl error
// logged).
long replyStatus(CURLcode code, long status) {
    if (code == CURLE_OK && status > 0) return status;
    if (code != CURLE_OK && code != CURLE_FAILED_INIT) cloudSdkLogTransferError(code);
    return -1;
}

// Any 2xx means the cloud took the metric: sending it again would only duplicate it. A 3xx
// is not followed (a signed POST is never replayed elsewhere) and counts as not taken.
bool uploadAccepted(long status) { return status >= 200 && status < 300; }

// 200 when the cloud took the upload, else -1: the two values the packet log shows.
long uploadStatus(CURLcode code, long status) {
    return uploadAccepted(replyStatus(code, status)) ? 200 : -1;
}

// One upload to a given URL into the caller's response buffer.
class SinglePost final : public TransferJob {
public:
    SinglePost(CloudSdkClient* client, const char* url, const char* body, int timeoutSeconds,
               HTTPResponse* response)
        : client_(client), url_(url), body_(body), timeout_(timeoutSeconds), response_(response) {}

    bool prepare(CURL* handle, size_t, size_t) override {
        return prepareUpload(handle, client_, url_, body_, timeout_, headers_, response_);
    }
    void finish(size_t, size_t, CURLcode code, long status) override {
        result = uploadStatus(code, status);
    }
    long result = -1;

private:
    CloudSdkClient* client_;
    const char* url_;
    const char* body_;
    int timeout_;
    HTTPResponse* response_;
    CurlSlistPtr headers_;
};

void logUpload(const CloudSdkClient* client, long result, const char* body, const char* reply) {
    PrintHttpPacket(result, "POST", client->uploadUrl, body, reply);
    if (result != 200) SM_LOG(2, "post metric data failed\n");
}

// Every body of a batch to the client's upload URL; per-transfer data lives in its slot.
class BatchPost final : public TransferJob {
public:
    BatchPost(CloudSdkClient* client, const char* const* bodies, int timeoutSeconds,
              int* results)
        : client_(client), bodies_(bodies), timeout_(timeoutSeconds), results_(results) {}
    ~BatchPost() override {
        for (HTTPResponse& response : responses_) HTTPResponseFree(&response);
    }
    BatchPost(const BatchPost&) = delete;
    BatchPost& operator=(const BatchPost&) = delete;

    bool prepare(CURL* handle, size_t slot, size_t index) override {
        return prepareUpload(handle, client_, client_->uploadUrl, bodies_[index], timeout_,
                             headers_[slot], &responses_[slot]);
    }
    void finish(size_t slot, size_t index, CURLcode code, long status) override {
        record(index, replyStatus(code, status), responses_[slot].data);
        HTTPResponseFree(&responses_[slot]);
        headers_[slot].reset();
    }
    // status: the HTTP status, or -1 when no answer came.
    void record(size_t index, long status, const char* reply) {
        const bool taken = uploadAccepted(status);
        logUpload(client_, taken ? 200 : -1, bodies_[index], reply);
        results_[index] = taken ? 0 : static_cast<int>(status);
        if (taken) ++accepted;
    }
    size_t accepted = 0;

private:
    CloudSdkClient* client_;
    const char* const* bodies_;
    int timeout_;
    int* results_;
    CurlSlistPtr headers_[kMaxUploadsInFlight];
    HTTPResponse responses_[kMaxUploadsInFlight] = {};
};

}  // namespace

sds cloudSdkUploadStringToSign(const char* contentMd5, const char* date, const char* securityToken,
                               const char* uploadPath) {
    SdsPtr text(sdsWithRoom(kUploadStringToSignRoom));
    if (!text) return nullptr;
    const bool ok =
        sdsUpdate(text, sdsAppendPrintf(text.get(), "POST\n%s\napplication/json\n%s\n", contentMd5,
                                        date)) &&
        sdsUpdate(text, sdsAppend(text.get(), "x-zeb-api-version:1.0\n")) &&
        (securityToken[0] != '\0'
             ? sdsUpdate(text, sdsAppendPrintf(text.get(),
                                               "x-zeb-caller-type:token\nx-zeb-ip:127.0.0.1\n"
                                               "x-zeb-security-token:%s\n",
                                               securityToken))
             : sdsUpdate(text, sdsAppend(text.get(), "x-zeb-ip:127.0.0.1\n"))) &&
        sdsUpdate(text, sdsAppend(text.get(), "x-zeb-signature:hmac-sha1\n")) &&
        sdsUpdate(text, sdsAppend(text.get(), uploadPath));
    return ok ? text.release() : nullptr;
}

sds cloudSdkUploadAuthorization(const char* stringToSign, const CloudSdkCredential* credential) {
    SdsPtr line(sdsWithRoom(kAuthorizationRoom));
    if (!line) return nullptr;
    char signature[kSha1HexSize + 1] = {};
    hmac_sha1_hex(reinterpret_cast<const unsigned char*>(stringToSign),
                  static_cast<uint32_t>(sdsLength(stringToSign)), signature,
                  reinterpret_cast<const unsigned char*>(credential->accessKeySecret),
                  static_cast<uint32_t>(strlen(credential->accessKeySecret)));
    if (!sdsUpdate(line, sdsAppendPrintf(line.get(), "Authorization:%s:%s", credential->accessKeyId,
                                         signature))) {
        return nullptr;
    }
    return line.release();
}

long HTTPDataPost(CloudSdkClient* client, const char* url, const char* body, int timeoutSeconds,
                  HTTPResponse* response) {
    if (client == nullptr || url == nullptr || body == nullptr) return -1;
    SinglePost job(client, url, body, timeoutSeconds, response);
    if (cloudSdkRunTransfers(client, client->channels->upload, 1, 1, job) == 0) {
        cloudSdkLogTransferError(CURLE_ABORTED_BY_CALLBACK);
    }
    return job.result;
}

int CloudSdkPostMetricData(CloudSdkClient* client, const char* body, int timeoutSeconds) {
    int result = -1;
    (void)CloudSdkPostMetricDataMany(client, &body, 1, timeoutSeconds, &result);
    return result == 0 ? 0 : -1;
}

size_t CloudSdkPostMetricDataMany(CloudSdkClient* client, const char* const* bodies, size_t count,
                                  int timeoutSeconds, int* results) {
    if (client == nullptr || bodies == nullptr || results == nullptr) return 0;
    BatchPost job(client, bodies, timeoutSeconds, results);
    const size_t started = cloudSdkRunTransfers(client, client->channels->upload, count,
                                                kMaxUploadsInFlight, job);
    const bool aborted = client->aborted.load();
    if (started < count && aborted) cloudSdkLogTransferError(CURLE_ABORTED_BY_CALLBACK);
    for (size_t i = started; i < count; ++i) {
        if (aborted) {
            job.record(i, -1, nullptr);
        } else {
            results[i] = kUploadNotTried;
        }
    }
    return job.accepted;
}
