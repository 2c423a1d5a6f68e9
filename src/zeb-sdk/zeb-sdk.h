// Cloud API client: the client record, HTTPS transfers, the signed metric upload and the
// monitor-group management calls. Results are 0 / -1 unless stated otherwise.
#ifndef ZEB_SDK_H
#define ZEB_SDK_H

#include <cjson/cJSON.h>
#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

constexpr size_t kAccessKeyIdSize = 128;
constexpr size_t kAccessKeySecretSize = 128;
constexpr size_t kSecurityTokenSize = 576;
constexpr size_t kCaPathSize = 4096;
constexpr size_t kUploadUrlSize = 104;
constexpr size_t kUploadHostSize = 64;
constexpr size_t kUploadPathSize = 36;
// The most uploads of one batch that run at the same time: HTTP/2 streams of one kept
// connection (HTTP/1.1 uses fewer, one connection each). How many do is the upload window's
// to say (zeb-sdk/upload_window.h).
constexpr size_t kMaxUploadsInFlight = 100;
// A batch's result for a body it did not send: an upload before it got no answer.
constexpr int kUploadNotTried = -2;
// A refusal that says the server has had enough for now: 429 Too Many Requests or 503.
[[nodiscard]] constexpr bool cloudSdkOverloaded(long status) {
    return status == 429 || status == 503;
}

// The kept libcurl state of a client (zeb-sdk/transfer.h).
struct CloudSdkChannels;
struct CloudSdkChannelsDeleter {
    void operator()(CloudSdkChannels* channels) const noexcept;
};

struct CloudSdkClient {
    char accessKeyId[kAccessKeyIdSize];
    char accessKeySecret[kAccessKeySecretSize];
    char securityToken[kSecurityTokenSize];  // empty: no token
    char caPath[kCaPathSize];
    const char* apiHost;
    uint32_t preEnvironment;  // 0: HTTPS production upload, else plain-HTTP pre-production
    char uploadUrl[kUploadUrlSize];
    char uploadHost[kUploadHostSize];
    char uploadPath[kUploadPathSize];
    long verbose;
    // Guards the three credential fields: CloudSdkUpdateCredential writes them under it and
    // every request copies what it needs under it, so an update never overlaps a read.
    std::mutex credentialLock;
    // Kept connections: one channel for the uploads, one for the management calls, so that
    // the two threads that use a client never share a libcurl handle.
    std::unique_ptr<CloudSdkChannels, CloudSdkChannelsDeleter> channels;
    // Set once by CloudSdkAbort: transfers in flight end and later ones fail at once.
    std::atomic<bool> aborted{false};
};

// Body of one response; data is NUL-terminated whenever non-null.
struct HTTPResponse {
    char* data;
    size_t size;
};

[[nodiscard]] int HTTPResponseInit(HTTPResponse* response);
void HTTPResponseFree(HTTPResponse* response);

// New client (release with CloudSdkDeinitIF), or null when it cannot be allocated.
[[nodiscard]] CloudSdkClient* CloudSdkInitIF(const char* accessKeyId, const char* accessKeySecret,
                                             const char* securityToken, uint32_t preEnvironment);
// Copies the credentials (cut to their fields). -1 and nothing changed when a pointer is null.
int CloudSdkUpdateCredential(CloudSdkClient* client, const char* accessKeyId,
                             const char* accessKeySecret, const char* securityToken);
// Releases the client (null allowed), then libcurl's global state.
void CloudSdkDeinitIF(CloudSdkClient* client);

// Verified GET. The HTTP response code, or -1 when the transfer fails.
[[nodiscard]] long HTTPDataGet(CloudSdkClient* client, const char* url, int timeoutSeconds,
                               curl_write_callback writeCallback, void* writeData);
// Signed metric POST. 200 when the cloud took it (any 2xx), else -1.
[[nodiscard]] long HTTPDataPost(CloudSdkClient* client, const char* url, const char* body,
                                int timeoutSeconds, HTTPResponse* response);
// Uploads one metric body to the client's upload URL. 0 when the cloud took it (any 2xx),
// else -1.
[[nodiscard]] int CloudSdkPostMetricData(CloudSdkClient* client, const char* body,
                                         int timeoutSeconds);
// Posts every body to the client's upload URL over kept connections, as many at a time as
// the upload window allows. results[i] = 0 when the cloud took body i (any 2xx, logged as
// 200), its HTTP status when answered otherwise (a redirect, a refusal or a server fault; a
// redirect is never followed), -1 when no answer came (no connection, TLS failure,
// time-out, aborted), or kUploadNotTried when it was not sent because an upload before it
// got no answer: enough to tell what may pass. Each exchange is logged as
// CloudSdkPostMetricData logs it; a body not sent is not logged. Returns how many were
// accepted.
// Safe to call from one thread at a time per client while management calls run on another.
size_t CloudSdkPostMetricDataMany(CloudSdkClient* client, const char* const* bodies, size_t count,
                                  int timeoutSeconds, int* results);
// Abandons every transfer in flight on this client (uploads and management calls) and makes
// later ones fail at once. For shutdown; cannot be undone. Any thread may call it.
void CloudSdkAbort(CloudSdkClient* client);

// libcurl write callback appending to an HTTPResponse; 0 when memory runs out.
size_t WriteMemoryCallback(char* data, size_t size, size_t nmemb, void* response) noexcept;
// Logs one exchange (level 0 for status 200, else 2); nothing when method or url is null.
void PrintHttpPacket(long status, const char* method, const char* url, const char* request,
                     const char* response);
// The "Resources"."Resource" item of a management reply whose Code is 200, or null.
[[nodiscard]] cJSON* getResourceFromBody(cJSON* root);
// Current UTC time as "%a, %d %b %Y %H:%M:%S GMT"; returns 0.
int GetGmtDate(char* buffer, size_t size);

// Monitor-group management calls; output buffers are written only on success.
[[nodiscard]] int CloudSdkGetGroupID(CloudSdkClient* client, const char* groupName,
                                     int timeoutSeconds, char* groupId, size_t groupIdSize);
[[nodiscard]] int CloudSdkCreateGroup(CloudSdkClient* client, const char* groupName,
                                      int timeoutSeconds, char* groupId, size_t groupIdSize);
[[nodiscard]] int CloudSdkDeleteGroup(CloudSdkClient* client, const char* groupId,
                                      int timeoutSeconds);
[[nodiscard]] int CloudSdkAddGroupInstance(CloudSdkClient* client, const char* groupId,
                                           const char* instanceId, const char* instanceName,
                                           const char* category, int timeoutSeconds);
[[nodiscard]] int CloudSdkDeleteGroupInstance(CloudSdkClient* client, const char* groupId,
                                              const char* instanceIdList, const char* category,
                                              int timeoutSeconds);
[[nodiscard]] int CloudSdkGetGroupInstance(CloudSdkClient* client, const char* groupId,
                                           const char* instanceIds, int timeoutSeconds,
                                           char* instanceName, size_t instanceNameSize);

#endif
