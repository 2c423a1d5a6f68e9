// Entry point of the gateway service monitor. Takes no arguments; always exits with 0.
#include "common.h"
#include "dbus_message.h"
#include "self_describing.h"
#include "service_monitor.h"
#include "service_monitor_notify.h"

namespace {
constexpr int kLoopTimeoutMs = 1000;
}

int main(int /*argc*/, char** /*argv*/) {
    log_init("service_monitor", 1, 0, 2);
    notify_init();  // before any thread: it takes the manager's variables out of the environment
    ServiceMonitorPtr ctx(service_monitor_init());
    if (!ctx) {
        SM_LOG(2, "service monitor init failed\n");
    } else {
        (void)registerAbility(ctx->bus_conn.get(), "monitor", "{\"None\": \"None\"}");
        while (service_monitor_loop(ctx.get(), kLoopTimeoutMs) == 0) {
        }
    }
    report_caught_signal();
    notify_stopping();
    ctx.reset();
    SM_LOG(2, "service_monitor exit\n");
    notify_deinit();
    return 0;
}
