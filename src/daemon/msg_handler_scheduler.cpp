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
SchedulerThreadState g_schedulerThread;

}  // namespace

int startSchedulerThread(SERVICE_MONITOR_CTX_T* ctx) {
    const std::lock_guard<std::mutex> lock(g_schedulerThread.mutex);
    g_schedulerThread.stopRequested = false;
    g_schedulerThread.finished = false;
    setTaskSchedulerStopping(false);
    if (joinable_thread_start(&g_schedulerThread.thread, taskSchedulerThread, ctx) != 0) return -1;
    ctx->scheduler_thread = g_schedulerThread.thread.id;  // the context still names the thread
    g_schedulerThread.started = true;
    return 0;
}

void requestSchedulerStop() {
    const std::lock_guard<std::mutex> lock(g_schedulerThread.mutex);
    g_schedulerThread.stopRequested = true;
    setTaskSchedulerStopping(true);
    g_schedulerThread.cv.notify_all();
}

void joinSchedulerThread(SERVICE_MONITOR_CTX_T* ctx) {
    std::unique_lock<std::mutex> lock(g_schedulerThread.mutex);
    if (!g_schedulerThread.started) return;
    const auto finished = [] { return g_schedulerThread.finished; };
    while (!g_schedulerThread.cv.wait_for(lock, kSchedulerJoinStep, finished)) {
        lock.unlock();
        feed_dog_if_due(ctx);
        lock.lock();
    }
    g_schedulerThread.started = false;
    lock.unlock();
    joinable_thread_join(&g_schedulerThread.thread);
}

void* taskSchedulerThread(void* /*ctx*/) noexcept {
    const auto stopRequested = [] { return g_schedulerThread.stopRequested; };
    std::unique_lock<std::mutex> lock(g_schedulerThread.mutex);
    while (!stopRequested()) {
        lock.unlock();
        taskSchedulerProc();
        lock.lock();
        g_schedulerThread.cv.wait_for(lock, kSchedulerTick, stopRequested);
    }
    g_schedulerThread.finished = true;
    g_schedulerThread.cv.notify_all();
    return nullptr;
}
