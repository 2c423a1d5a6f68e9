#include "dbus_message.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message_method.h"
#include "raii.h"

namespace {

constexpr const char* kSwitchKeys[] = {"gw_zeb_switch", "gw_dps_switch"};
constexpr int kSubscribeType = 1;
constexpr int kSubscribeAttempts = 4;
constexpr unsigned kSubscribePauseSeconds = 1;
constexpr long kFeedIntervalSeconds = 4;

// Up to four attempts with a pause after every failed one, the last included.
[[nodiscard]] int subscribeWithRetry(CFG_CONN_T* conn, const char* key) {
    for (int failures = 0; cfgSubscribeConfig(conn, kSubscribeType, key) != 0;) {
        sleep(kSubscribePauseSeconds);
        if (++failures == kSubscribeAttempts) {
            SM_LOG(2, "subscribe config(%s) failed\n", key);
            return -1;
        }
    }
    return 0;
}

void feedIfDue(SERVICE_MONITOR_CTX_T* ctx) {
    struct timeval now {};
    gettimeofday(&now, nullptr);
    if (now.tv_sec - ctx->last_feed_time.tv_sec > kFeedIntervalSeconds) {
        feed_dog(ctx->bus_conn, kWatchdogFeedSeconds);
        ctx->last_feed_time = now;
    }
}

int dispatchMethodCall(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) {
    const char* member = dbus_message_get_member(msg);
    if (member == nullptr) {
        SM_LOG(3, "get method name error!\n");
        return -1;
    }
    SM_LOG(1, "receive method call :%s,from message bus.\n", member);
    const size_t len = strlen(member);
    const METHOD_ENTRY_T* table = get_method_table();
    for (int i = 0; i < get_method_count(); ++i) {
        // Rows match over the length of the received name, so a leading part of a
        // member name reaches its row; the scan does not stop at a match.
        if (strncmp(table[i].member, member, len) == 0) table[i].handler(ctx, msg);
    }
    return 0;
}

}  // namespace

int register_service_monitor_to_bus(SERVICE_MONITOR_CTX_T* ctx) {
    ScopedDBusError err;
    if (ctx == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    SM_LOG(1, "bus_address:%s!\n", kGatewayBusAddress);
    ctx->bus_conn = dbus_connection_open(kGatewayBusAddress, err.get());
    if (check_and_abort(err.get()) != 0) {
        SM_LOG(2, "router connect dbus error!\n");
        return -1;
    }
    if (ctx->bus_conn == nullptr) {
        SM_LOG(2, "conn is NULL!\n");
        return -1;
    }
    // The process decides when to end; a lost bus ends the pump, not the process.
    dbus_connection_set_exit_on_disconnect(ctx->bus_conn, FALSE);
    dbus_bus_register(ctx->bus_conn, err.get());
    if (check_and_abort(err.get()) != 0) {
        SM_LOG(2, "bus register error!\n");
        return -1;
    }
    const int reply = dbus_bus_request_name(ctx->bus_conn, kServiceName, 0, err.get());
    if (reply != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        SM_LOG(2, "WellName(%s) is already running!\n", kServiceName);
        return -1;
    }
    if (check_and_abort(err.get()) != 0) {
        SM_LOG(2, "request name is error!\n");
        return -1;
    }
    return 0;
}

int dbus_module_init(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return -1;
    install_signal_handler();
    if (register_service_monitor_to_bus(ctx) != 0) {
        SM_LOG(2, "register dbus failed\n");
        return -1;
    }
    SM_LOG(1, "register service monitor to monitor\n");
    ctx->cfg_conn = openCfgPrivateConn(kGatewayBusAddress);
    if (ctx->cfg_conn == nullptr) {
        SM_LOG(2, "register cfg conn failed\n");
        return -1;
    }
    for (const char* key : kSwitchKeys) {
        if (subscribeWithRetry(ctx->cfg_conn, key) != 0) {
            // The context is freed on this path; the connection must not outlive it.
            closeCfgPrivateConn(ctx->cfg_conn);
            ctx->cfg_conn = nullptr;
            return -1;
        }
    }
    return 0;
}

void dbus_module_deinit(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return;
    if (ctx->cfg_conn != nullptr) {
        for (const char* key : kSwitchKeys) (void)cfgUnsubscribeConfig(ctx->cfg_conn, key);
        closeCfgPrivateConn(ctx->cfg_conn);
        ctx->cfg_conn = nullptr;
    }
    if (ctx->bus_conn != nullptr) {
        ScopedDBusError err;
        dbus_bus_release_name(ctx->bus_conn, kServiceName, err.get());
        check_and_abort(err.get());
        // Flush the release before the last reference goes.
        dbus_connection_flush(ctx->bus_conn);
        dbus_connection_unref(ctx->bus_conn);
        ctx->bus_conn = nullptr;
    }
}

int dbus_message_yield(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms) {
    if (ctx == nullptr) {
        SM_LOG(3, "input params is NULL\n");
        return -1;
    }
    if (exit_flag.load() == kExitRequested) {
        report_caught_signal();
        return -1;
    }
    if (!dbus_connection_read_write(ctx->bus_conn, timeout_ms)) return -1;
    for (;;) {
        DBusMessagePtr msg(dbus_connection_pop_message(ctx->bus_conn));
        if (msg) messages_proc(ctx, msg.get());
        feedIfDue(ctx);
        if (!msg) break;
    }
    return 0;
}

int messages_proc(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) {
    switch (dbus_message_get_type(msg)) {
        case DBUS_MESSAGE_TYPE_METHOD_CALL:
            return dispatchMethodCall(ctx, msg);
        case DBUS_MESSAGE_TYPE_SIGNAL: {
            const char* member = dbus_message_get_member(msg);
            SM_LOG(1, "recive signal:%s\n", member != nullptr ? member : "");
            return 0;
        }
        case DBUS_MESSAGE_TYPE_METHOD_RETURN:
            SM_LOG(1, "recive method reply:%d\n", static_cast<int>(dbus_message_get_reply_serial(msg)));
            return 0;
        case DBUS_MESSAGE_TYPE_ERROR:
            SM_LOG(2, "receive error reply:%s\n", dbus_message_get_error_name(msg));
            return -1;
        default:
            return 0;
    }
}

DBusMessage* new_feed_dog_signal(const char* service, const char* path, const char* loop,
                                 int seconds) {
    DBusMessagePtr msg(dbus_message_new_signal(path, kWatchdogName, "feedDog"));
    if (!msg || !dbus_message_set_destination(msg.get(), kWatchdogName)) return nullptr;
    const dbus_int32_t secs = seconds;
    if (!dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &service, DBUS_TYPE_STRING, &loop,
                                  DBUS_TYPE_INT32, &secs, DBUS_TYPE_INVALID)) {
        return nullptr;
    }
    return msg.release();
}

void feed_dog(DBusConnection* conn, int seconds) {
    DBusMessagePtr msg(new_feed_dog_signal(kServiceName, kServiceObjectPath, kWatchdogLoopName, seconds));
    if (msg && conn != nullptr) dbus_connection_send(conn, msg.get(), nullptr);
}
