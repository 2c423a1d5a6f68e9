// The daemon context: one per process, handed to the bus module, every method handler and
// the component handler.
#ifndef SERVICE_MONITOR_SERVICE_MONITOR_CONTEXT_H
#define SERVICE_MONITOR_SERVICE_MONITOR_CONTEXT_H

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>

#include "raii.h"

struct METRIC_DATA_MANAGER_T;
struct CFG_CONN_T;

// Following a restarted configuration manager: the switch keys are subscribed and read
// again, one blocking call per pump turn so that the watchdog keeps being fed.
struct CFG_RESYNC_T {
    int32_t step;        // 0 idle, else the next call to make (see dbus_message.cpp)
    int32_t failures;    // failed attempts of the current step
    uint64_t retryAtMs;  // monotonic: no attempt before this (the pause after a failure)
};

// Owned through a unique_ptr (value-initialised, so every field starts zero); the bus
// connection goes with it on every path, the other fields are released by the teardown.
struct SERVICE_MONITOR_CTX_T {
    DBusConnectionPtr bus_conn;
    struct timeval last_feed_time;  // monotonic clock; zero until the first feed
    METRIC_DATA_MANAGER_T* metric_manager;
    pthread_t scheduler_thread;
    CFG_CONN_T* cfg_conn;
    CFG_RESYNC_T cfg_resync;
};

#endif
