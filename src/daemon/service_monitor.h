// The daemon's life cycle: start-up, the main-loop turn and the teardown.
#ifndef SERVICE_MONITOR_SERVICE_MONITOR_H
#define SERVICE_MONITOR_SERVICE_MONITOR_H

#include <memory>

#include "service_monitor_context.h"

// Builds the context and brings up the bus module and the component handler; null on
// failure, after undoing what the failed start-up had set up.
[[nodiscard]] SERVICE_MONITOR_CTX_T* service_monitor_init();
// One main-loop turn: 0 asks for another turn, anything else ends the loop.
[[nodiscard]] int service_monitor_loop(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms);
// Tears down in order and releases the context; null is accepted.
void service_monitor_deinit(SERVICE_MONITOR_CTX_T* ctx);

// The context for main: its end runs the teardown.
struct ServiceMonitorDeleter {
    void operator()(SERVICE_MONITOR_CTX_T* ctx) const noexcept { service_monitor_deinit(ctx); }
};
using ServiceMonitorPtr = std::unique_ptr<SERVICE_MONITOR_CTX_T, ServiceMonitorDeleter>;

#endif
