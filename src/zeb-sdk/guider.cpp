#include "guider.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common.h"
#include "signer.h"

namespace {

constexpr size_t kQueryRoom = 512;
constexpr int kSignatureBufSize = 32;

ParamList* firstEntry(ParamList* list) { return list->next; }

int compareKeys(const char* a, const char* b) {
    return strcmp(a, b);  // strcmp compares as unsigned char
}

// Appends "&"-joined key=value pairs; keys are percent-encoded only when encodeKeys.
bool appendQuery(SdsPtr& out, ParamList* params, bool encodeKeys) {
    for (ParamList* e = firstEntry(params); e != params; e = e->next) {
        if (e != firstEntry(params) && !sdsUpdate(out, sdsAppendChar(out.get(), '&'))) {
            return false;
        }
        const SdsPtr value(signer_percent_encode(e->value));
        if (!value) return false;
        if (encodeKeys) {
            const SdsPtr key(signer_percent_encode(e->key));
            if (!key || !sdsUpdate(out, sdsAppend(out.get(), key.get()))) return false;
        } else if (!sdsUpdate(out, sdsAppend(out.get(), e->key))) {
            return false;
        }
        if (!sdsUpdate(out, sdsAppendChar(out.get(), '=')) ||
            !sdsUpdate(out, sdsAppend(out.get(), value.get()))) {
            return false;
        }
    }
    return true;
}

// A failed add fails the build at once: a request without a common parameter could only
// be refused by the server.
bool addCommonParams(ParamList* params, const char* accessKeyId, const char* securityToken,
                     const char* nonce, const char* timestamp) {
    bool ok = paramListAdd(params, "AccessKeyId", accessKeyId) == 0 &&
              paramListAdd(params, "Format", "JSON") == 0 &&
              paramListAdd(params, "RegionId", "cn-hangzhou") == 0 &&
              paramListAdd(params, "SignatureMethod", signer_get_method()) == 0 &&
              paramListAdd(params, "SignatureNonce", nonce) == 0 &&
              paramListAdd(params, "SignatureVersion", signer_get_version()) == 0 &&
              paramListAdd(params, "Timestamp", timestamp) == 0 &&
              paramListAdd(params, "Version", "2019-01-01") == 0 &&
              paramListAdd(params, "SignatureType", "") == 0;
    if (ok && securityToken != nullptr)
        ok = paramListAdd(params, "SecurityToken", securityToken) == 0;
    return ok;
}

void logSignFailure(const char* query, const char* accessKeyId) {
    const SdsPtr redacted(signer_redact_token(query));
    SM_LOG(2, "calc signature faile!queryParams:%s, ak:%s\n", redacted ? redacted.get() : "",
           accessKeyId != nullptr ? accessKeyId : "");
}

}  // namespace

ParamList* paramListNew() {
    auto* head = static_cast<ParamList*>(calloc(1, sizeof(ParamList)));
    if (head == nullptr) return nullptr;
    head->prev = head->next = head;
    return head;
}

int paramListAdd(ParamList* list, const char* key, const char* value) {
    if (list == nullptr || key == nullptr || value == nullptr) return -1;
    auto* entry = static_cast<ParamList*>(calloc(1, sizeof(ParamList)));
    if (entry == nullptr) return -1;
    entry->key = key;
    entry->value = value;
    ParamList* before = firstEntry(list);
    while (before != list && compareKeys(before->key, key) < 0) before = before->next;
    entry->next = before;
    entry->prev = before->prev;
    before->prev->next = entry;
    before->prev = entry;
    return 0;
}

void paramListFree(ParamList* list) {
    if (list == nullptr) return;
    ParamList* e = firstEntry(list);
    while (e != list) {
        ParamList* next = e->next;
        free(e);
        e = next;
    }
    free(list);
}

void getUtcTimestamp(char* buffer) {
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    strftime(buffer, kTimestampSize, "%FT%TZ", &utc);
}

char* genSignatureNonce(char* buffer) {
    static std::once_flag seeded;
    std::call_once(seeded, [] { srand(static_cast<unsigned>(get_time_ms())); });
    static constexpr char kVariant[] = "89ab";
    char* out = buffer;
    for (int i = 0; i < 16; ++i) {
        const int r = rand() % 255;
        if (i == 6) {
            out += snprintf(out, 3, "4%x", r % 15);
        } else if (i == 8) {
            out += snprintf(out, 3, "%c%x", kVariant[rand() % 4], r % 15);
        } else {
            out += snprintf(out, 3, "%02x", r);
        }
        if (i == 3 || i == 5 || i == 7 || i == 9) *out++ = '-';
    }
    *out = '\0';
    return buffer;
}

sds buildRpcHttpsRequest(const char* host, ParamList* params, const char* accessKeyId,
                         const char* accessKeySecret, const char* securityToken) {
    char nonce[kNonceSize] = {};
    char timestamp[kTimestampSize] = {};
    genSignatureNonce(nonce);
    getUtcTimestamp(timestamp);
    if (host == nullptr || !addCommonParams(params, accessKeyId, securityToken, nonce, timestamp)) {
        return nullptr;
    }
    SdsPtr query(sdsWithRoom(kQueryRoom));
    if (!query || !appendQuery(query, params, true)) return nullptr;

    char signature[kSignatureBufSize] = {};
    if (signer_generate(signature, kSignatureBufSize, query.get(), accessKeySecret) < 0) {
        logSignFailure(query.get(), accessKeyId);
        return nullptr;
    }
    if (paramListAdd(params, "Signature", signature) != 0) return nullptr;

    SdsPtr url(sdsWithRoom(kQueryRoom));
    if (!url || !sdsUpdate(url, sdsAppendPrintf(url.get(), "https://%s/?", host)) ||
        !appendQuery(url, params, false)) {
        return nullptr;
    }
    return url.release();
}
