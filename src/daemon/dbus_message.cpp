#include "dbus_message.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message_method.h"
#include "dbus_message_watchdog.h"
#include "msg_handler.h"
#include "raii.h"

std::atomic<uint32_t> exit_flag{0};

namespace {

std::atomic<bool> g_signalReported{false};
constexpr const char* kSwitchKeys[] = {kZebSwitchKey, kDpsSwitchKey};
constexpr int kSubscribeType = 1;
constexpr int kSubscribeAttempts = 4;
constexpr unsigned kSubscribePauseSeconds = 1;
constexpr int kResyncSteps = 4;  // subscribe both keys, then read both
constexpr const char* kConfigOwnerMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='iot.gateway.config'";

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

// Returns true when the step is over, false to try again on a later turn. Without the
// subscription the key's changes would never arrive, so a refusal is never final: the
// next attempt follows the start-up pause, and the failure is reported once, when start-up
// would have given up.
bool resubscribeStep(SERVICE_MONITOR_CTX_T* ctx, const char* key) {
    if (cfgSubscribeConfig(ctx->cfg_conn, kSubscribeType, key) == 0) return true;
    CFG_RESYNC_T& resync = ctx->cfg_resync;
    if (++resync.failures == kSubscribeAttempts) SM_LOG(2, "subscribe config(%s) failed\n", key);
    resync.retryAtMs = get_monotonic_ms() + kSubscribePauseSeconds * 1000;
    return false;
}

// The start-up's read rule, paced over pump turns instead of sleeps.
bool rereadStep(SERVICE_MONITOR_CTX_T* ctx, const char* key) {
    char value[kSwitchBufSize] = {};
    const int ret = read_stored_switch(ctx->cfg_conn, key, value);
    if (ret == 0 || ret == kCfgNotFound) {
        apply_stored_switch(ctx, key, value);
        return true;
    }
    CFG_RESYNC_T& resync = ctx->cfg_resync;
    if (++resync.failures < kSwitchReadAttempts) {
        resync.retryAtMs = get_monotonic_ms() + kSwitchReadPauseMs;
        return false;
    }
    SM_LOG(2, "Get config:%s failed!\n", key);
    return true;
}

// One blocking configuration call of the resynchronisation, if one is pending.
void resyncStep(SERVICE_MONITOR_CTX_T* ctx) {
    CFG_RESYNC_T& resync = ctx->cfg_resync;
    if (resync.step == 0 || ctx->cfg_conn == nullptr || get_monotonic_ms() < resync.retryAtMs) return;
    const int index = resync.step - 1;
    const char* key = kSwitchKeys[index % 2];
    const bool over = index < 2 ? resubscribeStep(ctx, key) : rereadStep(ctx, key);
    if (!over) return;
    resync.failures = 0;
    resync.retryAtMs = 0;
    resync.step = resync.step == kResyncSteps ? 0 : resync.step + 1;
    if (resync.step == 0) SM_LOG(1, "config manager followed\n");
}

// A pending resynchronisation goes on at once, one call per turn, or when its pause ends.
int pumpWaitMs(const SERVICE_MONITOR_CTX_T* ctx, int timeout_ms) {
    if (ctx->cfg_resync.step == 0) return timeout_ms;
    const uint64_t now = get_monotonic_ms();
    const uint64_t pause = ctx->cfg_resync.retryAtMs > now ? ctx->cfg_resync.retryAtMs - now : 0;
    return static_cast<int>(std::min<uint64_t>(pause, static_cast<uint64_t>(std::max(timeout_ms, 0))));
}

void watchConfigManager(DBusConnection* conn) {
    ScopedDBusError err;
    dbus_bus_add_match(conn, kConfigOwnerMatch, err.get());
    if (check_and_abort(err.get()) != 0) SM_LOG(2, "watch %s failed\n", kConfigManagerName);
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
    ctx->bus_conn.reset(dbus_connection_open(kGatewayBusAddress, err.get()));
    if (check_and_abort(err.get()) != 0) {
        SM_LOG(2, "router connect dbus error!\n");
        return -1;
    }
    if (!ctx->bus_conn) {
        SM_LOG(2, "conn is NULL!\n");
        return -1;
    }
    // The process decides when to end; a lost bus ends the pump, not the process.
    DBusConnection* conn = ctx->bus_conn.get();
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    dbus_bus_register(conn, err.get());
    if (check_and_abort(err.get()) != 0) {
        SM_LOG(2, "bus register error!\n");
        return -1;
    }
    const int reply = dbus_bus_request_name(conn, kServiceName, 0, err.get());
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
            // Nothing to unsubscribe from a manager that refuses: only the connection goes.
            closeCfgPrivateConn(ctx->cfg_conn);
            ctx->cfg_conn = nullptr;
            return -1;
        }
    }
    // Watched from here on: a manager that came up during the attempts above already has
    // our subscriptions.
    watchConfigManager(ctx->bus_conn.get());
    return 0;
}

void dbus_module_deinit(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return;
    if (ctx->cfg_conn != nullptr) {
        for (const char* key : kSwitchKeys) {
            feed_dog_if_due(ctx);  // the name is still ours: the watchdog still watches
            (void)cfgUnsubscribeConfig(ctx->cfg_conn, key);
        }
        closeCfgPrivateConn(ctx->cfg_conn);
        ctx->cfg_conn = nullptr;
    }
    if (ctx->bus_conn) {
        ScopedDBusError err;
        dbus_bus_release_name(ctx->bus_conn.get(), kServiceName, err.get());
        (void)check_and_abort(err.get());  // logged there; shutdown goes on
        // Flush the release before our reference goes.
        dbus_connection_flush(ctx->bus_conn.get());
        ctx->bus_conn.reset();
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
    DBusConnection* conn = ctx->bus_conn.get();
    if (!dbus_connection_read_write(conn, pumpWaitMs(ctx, timeout_ms))) return -1;
    for (;;) {
        DBusMessagePtr msg(dbus_connection_pop_message(conn));
        if (msg) (void)messages_proc(ctx, msg.get());
        feed_dog_on_turn(ctx);
        if (!msg) break;
    }
    resyncStep(ctx);
    feed_dog_on_turn(ctx);
    return 0;
}

int messages_proc(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) {
    switch (dbus_message_get_type(msg)) {
        case DBUS_MESSAGE_TYPE_METHOD_CALL:
            return dispatchMethodCall(ctx, msg);
        case DBUS_MESSAGE_TYPE_SIGNAL: {
            const char* member = dbus_message_get_member(msg);
            SM_LOG(1, "recive signal:%s\n", member != nullptr ? member : "");
            if (is_config_manager_restart(msg)) {
                SM_LOG(1, "config manager restarted, subscribe again\n");
                ctx->cfg_resync = CFG_RESYNC_T{1, 0, 0};
            }
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

bool is_config_manager_restart(DBusMessage* msg) {
    if (!dbus_message_is_signal(msg, DBUS_INTERFACE_DBUS, "NameOwnerChanged") ||
        !dbus_message_has_sender(msg, DBUS_SERVICE_DBUS)) {
        return false;
    }
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    ScopedDBusError err;
    const bool read = dbus_message_get_args(msg, err.get(), DBUS_TYPE_STRING, &name,
                                            DBUS_TYPE_STRING, &oldOwner, DBUS_TYPE_STRING,
                                            &newOwner, DBUS_TYPE_INVALID);
    return read && strcmp(name, kConfigManagerName) == 0 && newOwner[0] != '\0';
}

void install_signal_handler() {
    struct sigaction action {};
    action.sa_handler = sig_int_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking bus read returns early
    sigaction(SIGINT, &action, nullptr);
}

// The logger is not async-signal-safe, so the handler only records the signal; the main
// thread writes the "Caught signal" line (report_caught_signal). A second SIGINT ends the
// process at once with _exit, which is safe here.
void sig_int_handler(int sig) noexcept {
    if (sig == 0 || sig != SIGINT) return;
    if (exit_flag.exchange(kExitRequested) == kExitRequested) _exit(0);
}

void report_caught_signal() {
    if (exit_flag.load() != kExitRequested || g_signalReported.exchange(true)) return;
    SM_LOG(0, "Caught signal: %s, exiting...\r\n\n", strsignal(SIGINT));
}
