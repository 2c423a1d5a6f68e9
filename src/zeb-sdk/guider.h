// Signed RPC-style URLs for the management API: the sorted parameter list, the common
// parameters (nonce, timestamp, credentials) and the query builder.
#ifndef ZEB_SDK_GUIDER_H
#define ZEB_SDK_GUIDER_H

#include <memory>

#include "sds.h"

// Circular doubly linked list with a head node; entries in ascending byte order of their
// keys. The list refers to the key and value texts and never owns or copies them.
struct ParamList {
    ParamList* prev;
    ParamList* next;
    const char* key;
    const char* value;
};

constexpr int kNonceSize = 37;
constexpr int kTimestampSize = 36;

// Empty list, or null when memory is short.
[[nodiscard]] ParamList* paramListNew();
// Inserts before the first entry whose key is >= key. 0, or -1 when list, key or value is
// null or memory is short.
[[nodiscard]] int paramListAdd(ParamList* list, const char* key, const char* value);
// Releases the entries and the head, never the texts; null is ignored.
void paramListFree(ParamList* list);

struct ParamListDeleter {
    void operator()(ParamList* list) const noexcept { paramListFree(list); }
};
using ParamListPtr = std::unique_ptr<ParamList, ParamListDeleter>;

// Current UTC time as YYYY-MM-DDThh:mm:ssZ into a buffer of kTimestampSize bytes.
void getUtcTimestamp(char* buffer);
// Random version-4-UUID-shaped identifier (36 characters) into kNonceSize bytes; returns buffer.
char* genSignatureNonce(char* buffer);

// Adds the common parameters and the signature to params and returns the signed
// "https://host/?..." URL (release with sdsRelease), or null. Afterwards params refers
// to storage of this call and may only be released.
[[nodiscard]] sds buildRpcHttpsRequest(const char* host, ParamList* params, const char* accessKeyId,
                                       const char* accessKeySecret, const char* securityToken);

#endif
