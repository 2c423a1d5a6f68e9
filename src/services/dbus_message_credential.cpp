#include "dbus_message_credential.h"

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "common.h"
#include "raii.h"

namespace {

constexpr const char* kCredentialService = "iot.gateway.credential";
constexpr const char* kCredentialPath = "/iot/gateway/credential";
constexpr const char* kCredentialInterface = "iot.gateway.credential";
constexpr const char* kCredentialMethod = "getCredential";
constexpr int kMaxKeyLen = 127;
constexpr int kMaxTokenLen = 575;

// The mutex is statically initialised so that readers on other threads may run before
// credential_init; it is never re-initialised or destroyed.
CREDENTIAL_CTX_T g_credential = {0, {}, nullptr, PTHREAD_MUTEX_INITIALIZER};

void copyCredential(CREDENTIAL_MSG_T& dst, const CREDENTIAL_MSG_T& src) {
    snprintf(dst.accessKeyId, sizeof dst.accessKeyId, "%s", src.accessKeyId);
    snprintf(dst.accessKeySecret, sizeof dst.accessKeySecret, "%s", src.accessKeySecret);
    snprintf(dst.securityToken, sizeof dst.securityToken, "%s", src.securityToken);
    dst.expireTimeMs = src.expireTimeMs;
}

// now + seconds, kept inside the field's range: a huge or odd duration from the service
// must not make the conversion undefined.
uint64_t expiryFrom(double durationSeconds) {
    const double ms = static_cast<double>(get_time_ms()) + durationSeconds * 1000.0;
    if (std::isnan(ms) || ms < 1.0) return 1;  // already expired, yet marked as stored
    if (ms >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(ms);
}

// The member name, or null after logging why it is missing or of the wrong type.
const cJSON* member(const cJSON* object, const char* name, cJSON_bool (*isType)(const cJSON*),
                    const char* typeName) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    if (item == nullptr) {
        SM_LOG(3, "[Json Parse] Get %s failed!\n", name);
        return nullptr;
    }
    if (!isType(item)) {
        SM_LOG(3, "[Json Parse] Get %s type error, should be %s.\n", name, typeName);
        return nullptr;
    }
    return item;
}

const char* stringMember(const cJSON* data, const char* name, int maxLen) {
    const cJSON* item = member(data, name, cJSON_IsString, "cJSON_String");
    if (item == nullptr) return nullptr;
    if (strlen(item->valuestring) > static_cast<size_t>(maxLen)) {
        SM_LOG(3, "[Json Parse] %s is too long > %d.\n", name, maxLen);
        return nullptr;
    }
    return item->valuestring;
}

// "code" and "data" of a reply; null after logging when the reply is not a success.
const cJSON* successData(const cJSON* root) {
    const cJSON* code = member(root, "code", cJSON_IsNumber, "cJSON_Number");
    if (code == nullptr) return nullptr;
    if (code->valuedouble != 0.0) {
        SM_LOG(2, "get credential failed!response code:%u\n",
               static_cast<unsigned>(code->valueint));
        return nullptr;
    }
    return member(root, "data", cJSON_IsObject, "cJSON_Object");
}

// The reply's string argument, or null when it has none.
const char* replyText(DBusMessage* reply) {
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING) {
        return nullptr;
    }
    const char* text = nullptr;
    dbus_message_iter_get_basic(&iter, &text);
    return text;
}

DBusMessagePtr callService(CFG_CONN_T* conn, DBusMessage* call) {
    ScopedDBusError error;
    DBusMessage* reply = nullptr;
    {
        // Serialised with every configuration-manager call on the same connection, and
        // bounded like them once shutdown has limited the calls.
        const CfgCallLock lock(conn);
        reply = dbus_connection_send_with_reply_and_block(conn->conn, call,
                                                          cfgCallTimeoutMs(conn), error.get());
    }
    if (check_and_abort(error.get()) != 0) {
        if (reply != nullptr) dbus_message_unref(reply);
        return nullptr;
    }
    return DBusMessagePtr(reply);
}

}  // namespace

int credential_init(CFG_CONN_T* conn) {
    if (conn == nullptr) {
        SM_LOG(3, "input params is NULL\n");
        return -1;
    }
    const PthreadMutexLock lock(g_credential.mutex);
    g_credential.valid = 0;
    memset(&g_credential.credential, 0, sizeof g_credential.credential);
    g_credential.connection = conn;
    return 0;
}

void credential_deinit() {
    // The connection is borrowed and may be closed after this; later refreshes fail.
    const PthreadMutexLock lock(g_credential.mutex);
    g_credential.connection = nullptr;
}

int credential_get_msg(CREDENTIAL_MSG_T* dst) {
    if (dst == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    const PthreadMutexLock lock(g_credential.mutex);
    if (g_credential.valid == 0) return -1;
    copyCredential(*dst, g_credential.credential);
    return 0;
}

int set_credential_msg(CREDENTIAL_MSG_T* dst, const char* accessKeyId,
                       const char* accessKeySecret, const char* securityToken,
                       double durationSeconds) {
    if (dst == nullptr || accessKeyId == nullptr || accessKeySecret == nullptr ||
        securityToken == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    if (strlen(accessKeyId) > kMaxKeyLen) {
        SM_LOG(3, "ak over buffer:%d\n", kMaxKeyLen);
        return -1;
    }
    if (strlen(accessKeySecret) > kMaxKeyLen) {
        SM_LOG(3, "as over buffer:%d\n", kMaxKeyLen);
        return -1;
    }
    if (strlen(securityToken) > kMaxTokenLen) {
        SM_LOG(3, "token over buffer:%d\n", kMaxTokenLen);
        return -1;
    }
    const PthreadMutexLock lock(g_credential.mutex);
    snprintf(dst->accessKeyId, sizeof dst->accessKeyId, "%s", accessKeyId);
    snprintf(dst->accessKeySecret, sizeof dst->accessKeySecret, "%s", accessKeySecret);
    snprintf(dst->securityToken, sizeof dst->securityToken, "%s", securityToken);
    dst->expireTimeMs = expiryFrom(durationSeconds);
    return 0;
}

int credential_msg_parse(CREDENTIAL_MSG_T* dst, const char* jsonText) {
    if (dst == nullptr || jsonText == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    const CJsonPtr root(cJSON_Parse(jsonText));
    if (!root) {
        SM_LOG(3, "Get json root failed: %s\n", jsonText);
        return -1;
    }
    const cJSON* data = successData(root.get());
    if (data == nullptr) return -1;
    const char* token = stringMember(data, "securityToken", kMaxTokenLen);
    if (token == nullptr) return -1;
    const char* keyId = stringMember(data, "accessKeyId", kMaxKeyLen);
    if (keyId == nullptr) return -1;
    const char* secret = stringMember(data, "accessKeySecret", kMaxKeyLen);
    if (secret == nullptr) return -1;
    const cJSON* duration = member(data, "durationSeconds", cJSON_IsNumber, "cJSON_Number");
    if (duration == nullptr) return -1;
    if (set_credential_msg(dst, keyId, secret, token, duration->valuedouble) != 0) {
        SM_LOG(3, "set credential faield\n");
        return -1;
    }
    SM_LOG(1, "store credential success!duration:%lfs\n", duration->valuedouble);
    return 0;
}

int update_credential(CREDENTIAL_CTX_T* ctx) {
    if (ctx == nullptr) {
        SM_LOG(3, "input params is NULL\n");
        return -1;
    }
    CFG_CONN_T* conn = nullptr;
    {
        const PthreadMutexLock lock(ctx->mutex);
        conn = ctx->connection;
    }
    if (conn == nullptr) {
        SM_LOG(3, "input params is NULL\n");
        return -1;
    }
    const DBusMessagePtr call(dbus_message_new_method_call(
        kCredentialService, kCredentialPath, kCredentialInterface, kCredentialMethod));
    const char* empty = "";
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &empty,
                                           DBUS_TYPE_INVALID)) {
        SM_LOG(3, "create %s call failed\n", kCredentialMethod);
        return -1;
    }
    const DBusMessagePtr reply = callService(conn, call.get());
    if (!reply) return -1;
    return credential_msg_parse(&ctx->credential, replyText(reply.get()));
}

int refresh_credential(CREDENTIAL_CALLBACK_T callback, void* clientData) {
    if (update_credential(&g_credential) != 0) return -1;
    CREDENTIAL_MSG_T copy {};
    {
        const PthreadMutexLock lock(g_credential.mutex);
        g_credential.valid = 1;
        copyCredential(copy, g_credential.credential);
    }
    if (callback != nullptr) (void)callback(&copy, clientData);
    return 0;
}

bool credential_expired(const CREDENTIAL_MSG_T* credential, uint64_t nowMs) {
    return credential->expireTimeMs != 0 && nowMs > credential->expireTimeMs;
}
