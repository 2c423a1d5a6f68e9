#include "config_manager.h"

#include <cstdlib>
#include <cstring>

#include "config_manager_protocol.h"
#include "standin_raii.h"

namespace {

bool validText(const char* text) { return text != nullptr && dbus_validate_utf8(text, nullptr); }
bool validKey(const char* key) { return validText(key) && *key != '\0'; }

int codeOfError(const DBusError* error) {
    if (dbus_error_has_name(error, DBUS_ERROR_SERVICE_UNKNOWN) ||
        dbus_error_has_name(error, DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        return CONFIG_ERR_NO_SERVICE;
    }
    if (dbus_error_has_name(error, DBUS_ERROR_NO_REPLY) ||
        dbus_error_has_name(error, DBUS_ERROR_TIMEOUT) ||
        dbus_error_has_name(error, DBUS_ERROR_TIMED_OUT)) {
        return CONFIG_ERR_TIMEOUT;
    }
    return CONFIG_ERR_BUS;
}

DBusMessagePtr newCall(const char* method) {
    return DBusMessagePtr(
        dbus_message_new_method_call(kConfigBusName, kConfigPath, kConfigInterface, method));
}

// Sends call and waits for the answer. Returns the service's result code; *answer keeps
// the reply for callers that read more than the code.
int exchange(DBusConnection* conn, DBusMessage* call, int timeoutMs, DBusMessagePtr* answer) {
    // libdbus accepts -1 (its default) or a non-negative timeout only.
    const int timeout = timeoutMs < 0 ? -1 : timeoutMs;
    ScopedDBusError error;
    DBusMessagePtr reply(
        dbus_connection_send_with_reply_and_block(conn, call, timeout, error.get()));
    if (!reply) return error.isSet() ? codeOfError(error.get()) : CONFIG_ERR_BUS;
    dbus_int32_t code = 0;
    DBusMessageIter it;
    if (!dbus_message_iter_init(reply.get(), &it) ||
        dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_INT32) {
        return CONFIG_ERR_PROTOCOL;
    }
    dbus_message_iter_get_basic(&it, &code);
    if (answer != nullptr) *answer = std::move(reply);
    return code;
}

// The code and the string that follows it in a get or list answer, copied with malloc.
int exchangeForText(DBusConnection* conn, DBusMessage* call, int timeoutMs, char** text) {
    DBusMessagePtr reply;
    const int code = exchange(conn, call, timeoutMs, &reply);
    if (code != CONFIG_OK) return code;
    dbus_int32_t ignored = 0;
    const char* value = nullptr;
    if (!dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_INT32, &ignored, DBUS_TYPE_STRING,
                               &value, DBUS_TYPE_INVALID)) {
        return CONFIG_ERR_PROTOCOL;
    }
    *text = strdup(value);
    return *text != nullptr ? CONFIG_OK : CONFIG_ERR_BUS;
}

}  // namespace

extern "C" int get_config(DBusConnection* conn, const char* key, char** value, int timeout_ms) {
    if (value != nullptr) *value = nullptr;
    if (conn == nullptr || value == nullptr || !validKey(key)) return CONFIG_ERR_INVALID;
    const DBusMessagePtr call = newCall(kMethodGet);
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &key, DBUS_TYPE_INVALID)) {
        return CONFIG_ERR_BUS;
    }
    return exchangeForText(conn, call.get(), timeout_ms, value);
}

extern "C" int set_config(DBusConnection* conn, const char* key, const char* value,
                          int timeout_ms) {
    if (conn == nullptr || !validKey(key) || !validText(value)) return CONFIG_ERR_INVALID;
    const DBusMessagePtr call = newCall(kMethodSet);
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &key, DBUS_TYPE_STRING,
                                           &value, DBUS_TYPE_INVALID)) {
        return CONFIG_ERR_BUS;
    }
    return exchange(conn, call.get(), timeout_ms, nullptr);
}

extern "C" int subscribe_config(DBusConnection* conn, const char* subscriber, const char* key,
                                int type, int timeout_ms) {
    if (conn == nullptr || subscriber == nullptr || !dbus_validate_bus_name(subscriber, nullptr) ||
        !validKey(key)) {
        return CONFIG_ERR_INVALID;
    }
    const DBusMessagePtr call = newCall(kMethodSubscribe);
    const dbus_int32_t kind = type;
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &subscriber,
                                           DBUS_TYPE_STRING, &key, DBUS_TYPE_INT32, &kind,
                                           DBUS_TYPE_INVALID)) {
        return CONFIG_ERR_BUS;
    }
    return exchange(conn, call.get(), timeout_ms, nullptr);
}

extern "C" int unsubscribe_config(DBusConnection* conn, const char* subscriber, const char* key,
                                  int timeout_ms) {
    if (conn == nullptr || subscriber == nullptr || !dbus_validate_bus_name(subscriber, nullptr) ||
        !validKey(key)) {
        return CONFIG_ERR_INVALID;
    }
    const DBusMessagePtr call = newCall(kMethodUnsubscribe);
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &subscriber,
                                           DBUS_TYPE_STRING, &key, DBUS_TYPE_INVALID)) {
        return CONFIG_ERR_BUS;
    }
    return exchange(conn, call.get(), timeout_ms, nullptr);
}

extern "C" int delete_config(DBusConnection* conn, const char* key, int timeout_ms) {
    if (conn == nullptr || !validKey(key)) return CONFIG_ERR_INVALID;
    const DBusMessagePtr call = newCall(kMethodDelete);
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &key, DBUS_TYPE_INVALID)) {
        return CONFIG_ERR_BUS;
    }
    return exchange(conn, call.get(), timeout_ms, nullptr);
}

extern "C" int list_config(DBusConnection* conn, char** listing, int timeout_ms) {
    if (listing != nullptr) *listing = nullptr;
    if (conn == nullptr || listing == nullptr) return CONFIG_ERR_INVALID;
    const DBusMessagePtr call = newCall(kMethodList);
    if (!call) return CONFIG_ERR_BUS;
    return exchangeForText(conn, call.get(), timeout_ms, listing);
}
