#include "msg_handler_scheduler.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common.h"
#include "dbus_message_watchdog.h"
#include "task_scheduler.h"

namespace {

constexpr auto kSchedulerTick = std::chrono::microseconds(1000000);
constexpr auto kSchedulerJoinStep = std::chrono::milliseconds(500);

// The scheduler thread runs until shutdown asks it to stop; shutdown then joins it (the
// pass in progress ends first), so no task runs once the configuration connection is
// closed and the thread has finished its thread-local cleanup before the process exits.
struct SchedulerThreadState {
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false;  // started and not yet joined
    bool stopRequested = false;
    bool finished = false;  // the thread is past its last pass
    JOINABLE_THREAD_T thread;
};
SchedulerThreadState g_scheduler;

}  // namespace

int startSchedulerThread(SERVICE_MONITOR_CTX_T* ctx) {
    const std::lock_guard<std::mutex> lock(g_scheduler.mutex);
    g_scheduler.stopRequested = false;
    g_scheduler.finished = false;
    setTaskSchedulerStopping(false);
    if (joinable_thread_start(&g_scheduler.thread, taskSchedulerThread, ctx) != 0) return -1;
    ctx->scheduler_thread = g_scheduler.thread.id;  // the context still names the thread
    g_scheduler.started = true;
    return 0;
}

void requestSchedulerStop() {
    const std::lock_guard<std::mutex> lock(g_scheduler.mutex);
    g_scheduler.stopRequested = true;
    setTaskSchedulerStopping(true);
    g_scheduler.cv.notify_all();
}

void joinSchedulerThread(SERVICE_MONITOR_CTX_T* ctx) {
    std::unique_lock<std::mutex> lock(g_scheduler.mutex);
    if (!g_scheduler.started) return;
    while (!g_scheduler.cv.wait_for(lock, kSchedulerJoinStep, [] { return g_scheduler.finished; })) {
        lock.unlock();
        feed_dog_if_due(ctx);
        lock.lock();
    }
    g_scheduler.started = false;
    lock.unlock();
    joinable_thread_join(&g_scheduler.thread);
}

void* taskSchedulerThread(void* /*ctx*/) noexcept {
    std::unique_lock<std::mutex> lock(g_scheduler.mutex);
    while (!g_scheduler.stopRequested) {
        lock.unlock();
        taskSchedulerProc();
        lock.lock();
        g_scheduler.cv.wait_for(lock, kSchedulerTick, [] { return g_scheduler.stopRequested; });
    }
    g_scheduler.finished = true;
    g_scheduler.cv.notify_all();
    return nullptr;
}
