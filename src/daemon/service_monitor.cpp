#include "service_monitor.h"

#include <new>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message.h"
#include "msg_handler.h"
#include "service_monitor_notify.h"

namespace {
// What the shutdown's configuration calls may take together, counted from its start: a
// call in flight then (up to kCfgTimeoutMs) still leaves the unsubscribes a second.
constexpr int kShutdownCfgBudgetMs = 4000;

std::unique_ptr<SERVICE_MONITOR_CTX_T> newContext() noexcept {
    try {
        return std::make_unique<SERVICE_MONITOR_CTX_T>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

SERVICE_MONITOR_CTX_T* service_monitor_init() {
    std::unique_ptr<SERVICE_MONITOR_CTX_T> ctx = newContext();
    if (!ctx) return nullptr;
    if (dbus_module_init(ctx.get()) != 0) {
        SM_LOG(2, "DBus init failed\n");
        // The name may be ours already: give it back with the connection.
        dbus_module_deinit(ctx.get());
        return nullptr;
    }
    if (msg_handler_init(ctx.get()) != 0) {
        SM_LOG(2, "msg handler init failed\n");
        // Release what the bus module and the partial start-up hold instead of dropping
        // the only pointers to it: threads stop, the connection closes, the name goes.
        service_monitor_deinit(ctx.release());
        return nullptr;
    }
    return ctx.release();
}

int service_monitor_loop(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms) {
    if (ctx == nullptr) {
        SM_LOG(3, "The params is NULL\n");
        return -1;
    }
    if (dbus_message_yield(ctx, timeout_ms) != 0) return -1;
    // Only a turn that ran proves the loop alive: a blocked loop stops the keep-alive.
    notify_main_loop_turn();
    return 0;
}

void service_monitor_deinit(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return;
    const std::unique_ptr<SERVICE_MONITOR_CTX_T> owned(ctx);
    // A configuration manager that takes calls but never answers must not stretch the
    // exit past its bound: every call from here on shares one budget.
    cfgLimitCalls(ctx->cfg_conn, kShutdownCfgBudgetMs);
    // Background threads let go of the configuration connection and the metric data
    // manager before either is released.
    msg_handler_quiesce(ctx);
    dbus_module_deinit(ctx);
    msg_handler_deinit(ctx);
}
