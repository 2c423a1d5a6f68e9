#include "service_monitor.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message.h"
#include "msg_handler.h"

std::atomic<uint32_t> exit_flag{0};

namespace {
std::atomic<bool> g_signalReported{false};
// What the shutdown's configuration calls may take together, counted from its start: a
// call in flight then (up to kCfgTimeoutMs) still leaves the unsubscribes a second.
constexpr int kShutdownCfgBudgetMs = 4000;
}

SERVICE_MONITOR_CTX_T* service_monitor_init() {
    auto* ctx = static_cast<SERVICE_MONITOR_CTX_T*>(calloc(1, sizeof(SERVICE_MONITOR_CTX_T)));
    if (ctx == nullptr) return nullptr;
    if (dbus_module_init(ctx) != 0) {
        SM_LOG(2, "DBus init failed\n");
        free(ctx);
        return nullptr;
    }
    if (msg_handler_init(ctx) != 0) {
        SM_LOG(2, "msg handler init failed\n");
        // Release what the bus module and the partial start-up hold instead of dropping
        // the only pointers to it: threads stop, the connection closes, the name goes.
        service_monitor_deinit(ctx);
        return nullptr;
    }
    return ctx;
}

int service_monitor_loop(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms) {
    if (ctx == nullptr) {
        SM_LOG(3, "The params is NULL\n");
        return -1;
    }
    return dbus_message_yield(ctx, timeout_ms);
}

void service_monitor_deinit(SERVICE_MONITOR_CTX_T* ctx) {
    if (ctx == nullptr) return;
    // A configuration manager that takes calls but never answers must not stretch the
    // exit past its bound: every call from here on shares one budget.
    cfgLimitCalls(ctx->cfg_conn, kShutdownCfgBudgetMs);
    // Background threads let go of the configuration connection and the metric data
    // manager before either is released.
    msg_handler_quiesce(ctx);
    dbus_module_deinit(ctx);
    msg_handler_deinit(ctx);
    free(ctx);
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
void sig_int_handler(int sig) {
    if (sig == 0 || sig != SIGINT) return;
    if (exit_flag.exchange(kExitRequested) == kExitRequested) _exit(0);
}

void report_caught_signal() {
    if (exit_flag.load() != kExitRequested || g_signalReported.exchange(true)) return;
    SM_LOG(0, "Caught signal: %s, exiting...\r\n\n", strsignal(SIGINT));
}
