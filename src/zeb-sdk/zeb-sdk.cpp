#include "zeb-sdk/zeb-sdk.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common.h"
#include "raii.h"
#include "zeb-sdk/digest.h"
#include "zeb-sdk/signer.h"
#include "zeb-sdk/zeb-sdk-internal.h"

// The endpoint hosts are build options (SM_API_HOST, SM_UPLOAD_HOST, SM_PRE_UPLOAD_HOST).
#if !defined(SM_API_HOST) || !defined(SM_UPLOAD_HOST) || !defined(SM_PRE_UPLOAD_HOST)
#error "the cloud endpoint hosts are set by the build"
#endif

namespace {

constexpr char kCaSuffix[] = "/config/service-monitor/cacert.pem";
constexpr char kUploadPath[] = "/metric/product/tessar/user";
constexpr size_t kStringToSignRoom = 128;
constexpr size_t kAuthorizationRoom = 64;
constexpr size_t kDateSize = 32;

static_assert(sizeof kUploadPath <= kUploadPathSize, "upload path fits its field");

const char* const kGetHeaders[] = {
    "Content-Length:0",           "User-Agent:TessarCloud (linux; amd64) Golang/1.11.2 Core/0.0.1",
    "Accept-Encoding: identity",  "Content-Type: application/x-www-form-urlencoded",
    "x-sdk-client: golang/1.0.0", "x-sdk-core-version: 0.0.1",
    "x-sdk-invoke-type: normal",
};

// Appends one header line; on failure the list keeps what it had.
[[nodiscard]] bool appendHeader(CurlSlistPtr& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (grown == nullptr) return false;
    (void)list.release();  // same list, or the first node of a new one
    list.reset(grown);
    return true;
}

void copyText(char* field, size_t size, const char* text) { snprintf(field, size, "%s", text); }

void setVerifiedTransfer(CURL* curl, const CloudSdkClient* client) {
    curl_easy_setopt(curl, CURLOPT_VERBOSE, client->verbose);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CAINFO, client->caPath);
}

// Runs the transfer: the response code, or -1 with the libcurl error logged.
long performTransfer(CURL* curl) {
    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        SM_LOG(2, "curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
        return -1;
    }
    long status = 0;
    const CURLcode info = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (info != CURLE_OK) {
        SM_LOG(2, "get info result failed: %s\n", curl_easy_strerror(info));
        return -1;
    }
    return status;
}

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
    return appendHeader(list, "x-zeb-api-version:1.0") &&
           appendHeader(list, "x-zeb-ip:127.0.0.1") &&
           appendHeader(list, "x-zeb-signature:hmac-sha1") &&
           (!hasToken ||
            (appendHeader(list, "x-zeb-caller-type:token") && appendHeader(list, tokenLine))) &&
           appendHeader(list, hostLine) && appendHeader(list, "User-Agent:zeb-java-sdk-v-1.0") &&
           appendHeader(list, "Content-Type:application/json") && appendHeader(list, dateLine) &&
           appendHeader(list, md5Line);
}

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
    const std::unique_ptr<CloudSdkClient> owned(client);
    curl_global_cleanup();
}

long HTTPDataGet(CloudSdkClient* client, const char* url, int timeoutSeconds,
                 curl_write_callback writeCallback, void* writeData) {
    if (client == nullptr || url == nullptr) return -1;
    const CurlPtr curl(curl_easy_init());
    if (!curl) {
        SM_LOG(3, "cur_easy_init failed\n");
        return -1;
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, url);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, writeData);
    setVerifiedTransfer(curl.get(), client);
    CurlSlistPtr headers;
    for (const char* line : kGetHeaders) {
        if (!appendHeader(headers, line)) return -1;
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    return performTransfer(curl.get());
}

sds cloudSdkUploadStringToSign(const char* contentMd5, const char* date, const char* securityToken,
                               const char* uploadPath) {
    SdsPtr text(sdsWithRoom(kStringToSignRoom));
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
    CloudSdkCredential credential;
    cloudSdkCopyCredential(client, &credential);
    char date[kDateSize] = {};
    (void)GetGmtDate(date, sizeof date);
    char contentMd5[kMd5HexSize + 1] = {};
    const size_t bodyLength = strlen(body);
    md5_hex(reinterpret_cast<const unsigned char*>(body),
            bodyLength > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bodyLength), contentMd5);

    // Out of memory while the signature text is built fails the request: a partial text
    // would only produce a signature the server rejects.
    const SdsPtr stringToSign(
        cloudSdkUploadStringToSign(contentMd5, date, credential.securityToken, client->uploadPath));
    const SdsPtr authorization(
        stringToSign ? cloudSdkUploadAuthorization(stringToSign.get(), &credential) : nullptr);
    if (!stringToSign || !authorization) {
        SM_LOG(2, "no memory\n");
        return -1;
    }
    const CurlPtr curl(curl_easy_init());
    if (!curl) return -1;
    CurlSlistPtr headers;
    if (!buildUploadHeaders(headers, client, credential.securityToken, date, contentMd5) ||
        !appendHeader(headers, authorization.get())) {
        SM_LOG(2, "no memory\n");
        return -1;
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body);
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(bodyLength));
    curl_easy_setopt(curl.get(), CURLOPT_URL, url);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, static_cast<long>(timeoutSeconds));
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, WriteMemoryCallback);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, response);
    setVerifiedTransfer(curl.get(), client);
    return performTransfer(curl.get()) == 200 ? 200 : -1;
}

int CloudSdkPostMetricData(CloudSdkClient* client, const char* body, int timeoutSeconds) {
    if (client == nullptr) return -1;
    HTTPResponse response;
    (void)HTTPResponseInit(&response);
    const long result = HTTPDataPost(client, client->uploadUrl, body, timeoutSeconds, &response);
    PrintHttpPacket(result, "POST", client->uploadUrl, body, response.data);
    HTTPResponseFree(&response);
    if (result != 200) {
        SM_LOG(2, "post metric data failed\n");
        return -1;
    }
    return 0;
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
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(root, "Code");
    if (!cJSON_IsNumber(code)) {
        SM_LOG(2, "json object(%s) is invalid\n", "Code");
        return nullptr;
    }
    if (code->valueint != 200) {
        SM_LOG(2, "json code != 200\n");
        return nullptr;
    }
    cJSON* resources = cJSON_GetObjectItemCaseSensitive(root, "Resources");
    if (resources == nullptr) {
        SM_LOG(2, "json object(%s) is invalid\n", "Resources");
        return nullptr;
    }
    cJSON* resource = cJSON_GetObjectItemCaseSensitive(resources, "Resource");
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
