// The daemon context, its life cycle and the SIGINT handling.
#ifndef SERVICE_MONITOR_SERVICE_MONITOR_H
#define SERVICE_MONITOR_SERVICE_MONITOR_H

#include <dbus/dbus.h>
#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>

struct METRIC_DATA_MANAGER_T;
struct CFG_CONN_T;

// Following a restarted configuration manager: the switch keys are subscribed and read
// again, one blocking call per pump turn so that the watchdog keeps being fed.
struct CFG_RESYNC_T {
    int32_t step;        // 0 idle, else the next call to make (see dbus_message.cpp)
    int32_t failures;    // failed attempts of the current step
    int64_t retryAtMs;   // monotonic: no attempt before this (the pause after a refusal)
};

struct SERVICE_MONITOR_CTX_T {
    DBusConnection* bus_conn;
    struct timeval last_feed_time;  // monotonic clock; zero until the first feed
    METRIC_DATA_MANAGER_T* metric_manager;
    pthread_t scheduler_thread;
    CFG_CONN_T* cfg_conn;
    CFG_RESYNC_T cfg_resync;
};

constexpr uint32_t kExitRequested = 0x5AA5;

// Stop flag: SIGINT stores kExitRequested; the pump stops on exactly that value.
extern std::atomic<uint32_t> exit_flag;
static_assert(std::atomic<uint32_t>::is_always_lock_free, "exit_flag must be signal-safe");

// Allocates the context and brings up the bus module and the component handler; null on failure.
SERVICE_MONITOR_CTX_T* service_monitor_init();
// One main-loop turn: 0 asks for another turn, anything else ends the loop.
int service_monitor_loop(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms);
// Tears down in order and frees the context; null is accepted.
void service_monitor_deinit(SERVICE_MONITOR_CTX_T* ctx);

void install_signal_handler();
void sig_int_handler(int sig);
// Writes the "Caught signal" line for a SIGINT the handler recorded, once, on the main thread.
void report_caught_signal();

#endif
