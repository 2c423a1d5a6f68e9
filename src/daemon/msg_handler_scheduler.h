// The component handler's scheduler thread: ticks the task scheduler once a second from
// start-up until shutdown asks it to stop, then lets shutdown join it.
#ifndef SERVICE_MONITOR_MSG_HANDLER_SCHEDULER_H
#define SERVICE_MONITOR_MSG_HANDLER_SCHEDULER_H

#include "service_monitor_context.h"

// Clears an earlier stop request and starts the thread. 0 or -1.
[[nodiscard]] int startSchedulerThread(SERVICE_MONITOR_CTX_T* ctx);
// Asks the thread to stop without waiting; a task function in progress gives up between
// its blocking steps.
void requestSchedulerStop();
// Joins the thread, feeding the watchdog while a task function finishes its blocking call
// (each has its own time-out, so the wait is bounded). Returns at once when not started.
void joinSchedulerThread(SERVICE_MONITOR_CTX_T* ctx);
// The thread body: one tick a second until a stop request.
void* taskSchedulerThread(void* ctx) noexcept;

#endif
