#include "zeb-sdk.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common.h"
#include "raii.h"
#include "signer.h"
#include "transfer.h"
#include "zeb-sdk-internal.h"

// The endpoint hosts are build options (SM_API_HOST, SM_UPLOAD_HOST, SM_PRE_UPLOAD_HOST).
#if !defined(SM_API_HOST) || !defined(SM_UPLOAD_HOST) || !defined(SM_PRE_UPLOAD_HOST)
#error "the cloud endpoint hosts are set by the build"
#endif

namespace {

constexpr char kCaSuffix[] = "/config/service-monitor/cacert.pem";
constexpr char kUploadPath[] = "/metric/product/tessar/user";

static_assert(sizeof kUploadPath <= kUploadPathSize, "upload path fits its field");

const char* const kGetHeaders[] = {
    "Content-Length:0",           "User-Agent:TessarCloud (linux; amd64) Golang/1.11.2 Core/0.0.1",
    "Accept-Encoding: identity",  "Content-Type: application/x-www-form-urlencoded",
    "x-sdk-client: golang/1.0.0", "x-sdk-core-version: 0.0.1",
    "x-sdk-invoke-type: normal",
};

void copyText(char* field, size_t size, const char* text) { snprintf(field, size, "%s", text); }

// A management GET into the caller's write callback.
class SingleGet final : public TransferJob {
public:
    SingleGet(CloudSdkClient* client, const char* url, int timeoutSeconds,
              curl_write_callback writeCallback, void* writeData)
        : client_(client),
          url_(url),
          timeout_(timeoutSeconds),
          writeCallback_(writeCallback),
          writeData_(writeData) {}

    bool prepare(CURL* handle, size_t, size_t) override {
        headers_.reset();  // a resend prepares the request again
        curl_easy_setopt(handle, CURLOPT_URL, url_);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeout_));
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeCallback_);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, writeData_);
        cloudSdkSetVerifiedTransfer(handle, client_);
        for (const char* line : kGetHeaders) {
            if (!cloudSdkAppendHeader(headers_, line)) return false;
        }
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers_.get());
        return true;
    }
    void finish(size_t, size_t, CURLcode code, long status) override {
        if (code != CURLE_OK && code != CURLE_FAILED_INIT) cloudSdkLogTransferError(code);
        result = code == CURLE_OK ? status : -1;
    }
    long result = -1;

private:
    CloudSdkClient* client_;
    const char* url_;
    int timeout_;
    curl_write_callback writeCallback_;
    void* writeData_;
    CurlSlistPtr headers_;
};

}  // namespace

void cloudSdkCopyCredential(CloudSdkClient* client, CloudSdkCredential* credential) {
    const std::lock_guard<std::mutex> lock(client->credentialLock);
    memcpy(credential->accessKeyId, client->accessKeyId, sizeof credential->accessKeyId);
    memcpy(credential->accessKeySecret, client->accessKeySecret,
           sizeof credential->accessKeySecret);
    memcpy(credential->securityToken, client->securityToken, sizeof credential->securityToken);
}

int HTTPResponseInit(HTTPResponse* response) {
    if (response == nullptr) return -1;
    response->data = nullptr;
    response->size = 0;
    return 0;
}

void HTTPResponseFree(HTTPResponse* response) {
    if (response == nullptr) return;
    free(response->data);
    response->data = nullptr;
    response->size = 0;
}

CloudSdkClient* CloudSdkInitIF(const char* accessKeyId, const char* accessKeySecret,
                               const char* securityToken, uint32_t preEnvironment) {
    std::unique_ptr<CloudSdkClient> client(new (std::nothrow) CloudSdkClient{});
    if (!client) return nullptr;
    (void)CloudSdkUpdateCredential(client.get(), accessKeyId, accessKeySecret, securityToken);
    curl_global_init(CURL_GLOBAL_ALL);
    client->channels.reset(cloudSdkNewChannels());
    if (!client->channels) {
        curl_global_cleanup();
        return nullptr;
    }

    char baseDir[kExeDirBufSize] = {};
    (void)get_exe_base_dir(baseDir);  // on failure the bare suffix is used
    if (snprintf(client->caPath, sizeof client->caPath, "%s%s", baseDir, kCaSuffix) < 0) {
        client->caPath[0] = '\0';
    }
    SM_LOG(1, "ca path:%s\n", client->caPath);
    if (access(client->caPath, F_OK) != 0) {
        SM_LOG(2, "ca file doesn't exist, maybe fail in use\n");
    }

    client->apiHost = SM_API_HOST;
    client->verbose = 0;
    client->preEnvironment = preEnvironment;
    copyText(client->uploadHost, sizeof client->uploadHost,
             preEnvironment == 0 ? SM_UPLOAD_HOST : SM_PRE_UPLOAD_HOST);
    copyText(client->uploadPath, sizeof client->uploadPath, kUploadPath);
    const int n = snprintf(client->uploadUrl, sizeof client->uploadUrl,
                           preEnvironment == 0 ? "https://%s%s" : "http://%s%s", client->uploadHost,
                           client->uploadPath);
    if (n < 0) client->uploadUrl[0] = '\0';
    return client.release();
}

int CloudSdkUpdateCredential(CloudSdkClient* client, const char* accessKeyId,
                             const char* accessKeySecret, const char* securityToken) {
    if (client == nullptr || accessKeyId == nullptr || accessKeySecret == nullptr ||
        securityToken == nullptr) {
        return -1;
    }
    const std::lock_guard<std::mutex> lock(client->credentialLock);
    copyText(client->accessKeyId, sizeof client->accessKeyId, accessKeyId);
    copyText(client->accessKeySecret, sizeof client->accessKeySecret, accessKeySecret);
    copyText(client->securityToken, sizeof client->securityToken, securityToken);
    return 0;
}

void CloudSdkDeinitIF(CloudSdkClient* client) {
    std::unique_ptr<CloudSdkClient>(client).reset();  // its kept handles before the global state
    curl_global_cleanup();
}

long HTTPDataGet(CloudSdkClient* client, const char* url, int timeoutSeconds,
                 curl_write_callback writeCallback, void* writeData) {
    if (client == nullptr || url == nullptr) return -1;
    SingleGet job(client, url, timeoutSeconds, writeCallback, writeData);
    if (cloudSdkRunTransfers(client, client->channels->management, 1, 1, job) == 0) {
        cloudSdkLogTransferError(CURLE_ABORTED_BY_CALLBACK);
    }
    return job.result;
}

void CloudSdkAbort(CloudSdkClient* client) {
    if (client == nullptr) return;
    client->aborted.store(true);
    // Wakes a batch that waits for socket activity; the transfers then end at once.
    cloudSdkWakeChannel(client->channels->upload);
    cloudSdkWakeChannel(client->channels->management);
}

size_t WriteMemoryCallback(char* data, size_t size, size_t nmemb, void* userData) noexcept {
    auto* response = static_cast<HTTPResponse*>(userData);
    if (response == nullptr || (nmemb != 0 && size > SIZE_MAX / nmemb)) return 0;
    const size_t n = size * nmemb;
    if (n > SIZE_MAX - response->size - 1) return 0;
    const size_t needed = response->size + n + 1;
    auto* grown = static_cast<char*>(realloc(response->data, needed));
    if (grown == nullptr) {
        SM_LOG(3, "Out of memory! realloc %lu returned NULL: %s \n\n",
               static_cast<unsigned long>(needed), strerror(errno));
        HTTPResponseFree(response);
        return 0;
    }
    if (n > 0) memcpy(grown + response->size, data, n);
    response->data = grown;
    response->size += n;
    response->data[response->size] = '\0';
    return n;
}

void PrintHttpPacket(long status, const char* method, const char* url, const char* request,
                     const char* response) {
    if (method == nullptr || url == nullptr) return;
    // The URL of a management call carries the security token: never log it in full.
    const SdsPtr safeUrl(signer_redact_token(url));
    SM_LOG(status == 200 ? 0 : 2, "%s %s status:%ld!req:%s resp:%s\n\n", method,
           safeUrl ? safeUrl.get() : "", status, request != nullptr ? request : "",
           response != nullptr ? response : "");
}

cJSON* getResourceFromBody(cJSON* root) {
    const cJSON* code = cJSON_GetObjectItem(root, "Code");
    if (!cJSON_IsNumber(code)) {
        SM_LOG(2, "json object(%s) is invalid\n", "Code");
        return nullptr;
    }
    if (code->valueint != 200) {
        SM_LOG(2, "json code != 200\n");
        return nullptr;
    }
    cJSON* resources = cJSON_GetObjectItem(root, "Resources");
    if (resources == nullptr) {
        SM_LOG(2, "json object(%s) is invalid\n", "Resources");
        return nullptr;
    }
    cJSON* resource = cJSON_GetObjectItem(resources, "Resource");
    if (resource == nullptr) SM_LOG(2, "json object(%s) is invalid\n", "Resource");
    return resource;
}

int GetGmtDate(char* buffer, size_t size) {
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    if (strftime(buffer, size, "%a, %d %b %Y %H:%M:%S GMT", &utc) == 0 && size > 0) {
        buffer[0] = '\0';
    }
    return 0;
}
