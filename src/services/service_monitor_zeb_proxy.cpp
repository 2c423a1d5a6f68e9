#include "service_monitor_zeb_proxy.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "common.h"
#include "raii.h"

namespace {

constexpr const char* kAgentName = "ZebGoAgent.linux";
constexpr const char* kAgentPath = "/harbex/gateway/build/bin/vestrel/ZebGoAgent.linux";
constexpr useconds_t kSettleUs = 300000;
constexpr uint32_t kMinRestartDelayMs = 1000;
constexpr uint32_t kMaxRestartDelayMs = 60000;
constexpr uint64_t kStableRunMs = 60000;
// Teardown waits this long for the thread; an agent that ignores SIGTERM keeps the
// thread in waitpid, and the daemon must still be able to end.
constexpr uint64_t kDeinitWaitMs = 3000;

ZEB_PROXY_T g_proxy {};
pthread_once_t g_primitivesOnce = PTHREAD_ONCE_INIT;

// The mutex and condition are made once per process and never released: after a
// bounded teardown the thread may still be in waitpid and take the mutex afterwards.
// The condition runs on the monotonic clock so that pacing ignores clock steps.
void initPrimitives() noexcept {
    pthread_mutex_init(&g_proxy.mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_proxy.cond, &attr);
    pthread_condattr_destroy(&attr);
}

void ensurePrimitives() { pthread_once(&g_primitivesOnce, initPrimitives); }

// Waits on the condition until woken or until the monotonic time deadlineMs.
void timedWait(ZEB_PROXY_T& proxy, uint64_t deadlineMs) {
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(deadlineMs / 1000u);
    ts.tv_nsec = static_cast<long>((deadlineMs % 1000u) * 1000000u);
    pthread_cond_timedwait(&proxy.cond, &proxy.mutex, &ts);
}

// Called under the mutex when a child has ended or could not be started.
void scheduleRestart(ZEB_PROXY_T& proxy) {
    const uint32_t pause = zeb_proxy_pacing::ended(proxy.pacing, get_monotonic_ms());
    if (proxy.state == ZEB_PROXY_STATE_START) {
        SM_LOG(1, "restart %s in %u ms\n", kAgentName, pause);
    }
}

void startAgent(ZEB_PROXY_T& proxy) {
    zeb_proxy_pacing::started(proxy.pacing, get_monotonic_ms());
    proxy.pid = process_exec(kAgentPath, kAgentName, 0);
    if (proxy.pid >= 0) {
        ++proxy.starts;
        SM_LOG(1, "run %s success\n", kAgentPath);
    } else {
        SM_LOG(2, "run %s failed\n", kAgentPath);
        proxy.pid = -1;
        scheduleRestart(proxy);
    }
}

// One pass under the mutex. Returns the child to wait for (outside the mutex), or -1.
pid_t supervisePass(ZEB_PROXY_T& proxy) {
    // A child is reaped whatever the wanted state: a stop between its start and the
    // next pass must not leave it unwaited for.
    if (proxy.pid >= 0) return proxy.pid;
    switch (proxy.state) {
        case ZEB_PROXY_STATE_STOP:
            pthread_cond_wait(&proxy.cond, &proxy.mutex);
            break;
        case ZEB_PROXY_STATE_START:
            if (!zeb_proxy_pacing::due(proxy.pacing, get_monotonic_ms())) {
                timedWait(proxy, proxy.pacing.nextStartMs);
            } else {
                startAgent(proxy);
            }
            break;
        default:
            SM_LOG(3, "zeb-proxy in abnormal state:%d\n", proxy.state);
            pthread_cond_wait(&proxy.cond, &proxy.mutex);
            break;
    }
    return -1;
}

void reapChild(ZEB_PROXY_T& proxy, pid_t child) {
    int status = 0;
    pid_t waited = -1;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) SM_LOG(2, "waitpid errror: %s\n", strerror(errno));
    const PthreadMutexLock lock(proxy.mutex);
    proxy.pid = -1;
    SM_LOG(1, "%s exits,status:%d\n", kAgentPath, status);
    scheduleRestart(proxy);
    pthread_cond_broadcast(&proxy.cond);
}

}  // namespace

namespace zeb_proxy_pacing {

void reset(AGENT_RESTART_PACING_T& pacing) noexcept {
    pacing.nextStartMs = 0;
    pacing.restartDelayMs = kMinRestartDelayMs;
}

void started(AGENT_RESTART_PACING_T& pacing, uint64_t nowMs) noexcept {
    pacing.startedMs = nowMs;
}

uint32_t ended(AGENT_RESTART_PACING_T& pacing, uint64_t nowMs) noexcept {
    if (nowMs - pacing.startedMs >= kStableRunMs) pacing.restartDelayMs = kMinRestartDelayMs;
    const uint32_t pause = pacing.restartDelayMs;
    pacing.nextStartMs = nowMs + pause;
    pacing.restartDelayMs = std::min(pause * 2, kMaxRestartDelayMs);
    return pause;
}

bool due(const AGENT_RESTART_PACING_T& pacing, uint64_t nowMs) noexcept {
    return nowMs >= pacing.nextStartMs;
}

}  // namespace zeb_proxy_pacing

void* zeb_proxy_thread(void* arg) noexcept {
    ZEB_PROXY_T& proxy = *static_cast<ZEB_PROXY_T*>(arg);
    while (proxy.running.load() != 0) {
        pid_t child = -1;
        {
            const PthreadMutexLock lock(proxy.mutex);
            // Checked under the mutex too, so that teardown's wake-up cannot be missed.
            if (proxy.running.load() == 0) break;
            child = supervisePass(proxy);
        }
        if (child >= 0) reapChild(proxy, child);
    }
    SM_LOG(1, "zeb proxy thread exit\n");
    const PthreadMutexLock lock(proxy.mutex);
    proxy.alive = 0;
    pthread_cond_broadcast(&proxy.cond);
    return nullptr;
}

int zeb_proxy_init() {
    ensurePrimitives();
    {
        const PthreadMutexLock lock(g_proxy.mutex);
        if (g_proxy.alive != 0) {
            SM_LOG(3, "zeb proxy thread is still running\n");
            return -1;
        }
        g_proxy.state = ZEB_PROXY_STATE_STOP;
        g_proxy.pid = -1;
        g_proxy.running = 1;
        g_proxy.alive = 1;
        zeb_proxy_pacing::reset(g_proxy.pacing);
    }
    const pid_t stray = find_pid_by_name(kAgentName);
    if (stray > 0) {
        SM_LOG(2, "%s(%d) already running, kill it\n", kAgentName, stray);
        (void)kill_process(stray, SIGTERM);
    }
    if (create_detached_thread(&g_proxy.tid, zeb_proxy_thread, &g_proxy) != 0) {
        SM_LOG(3, "create zeb proxy thread failed\n");
        const PthreadMutexLock lock(g_proxy.mutex);
        g_proxy.alive = 0;
        g_proxy.running = 0;
        return -1;
    }
    return 0;
}

int zeb_proxy_deinit() {
    ensurePrimitives();
    {
        const PthreadMutexLock lock(g_proxy.mutex);
        g_proxy.state = ZEB_PROXY_STATE_STOP;
        g_proxy.running = 0;
    }
    (void)zeb_proxy_stop();
    const PthreadMutexLock lock(g_proxy.mutex);
    pthread_cond_broadcast(&g_proxy.cond);
    const uint64_t deadline = get_monotonic_ms() + kDeinitWaitMs;
    while (g_proxy.alive != 0 && get_monotonic_ms() < deadline) timedWait(g_proxy, deadline);
    if (g_proxy.alive != 0) {
        SM_LOG(2, "zeb proxy thread still waits for %s(%d), leaving it\n", kAgentName,
               g_proxy.pid);
    }
    return 0;
}

int zeb_proxy_start() {
    ensurePrimitives();
    uint32_t startsBefore = 0;
    {
        const PthreadMutexLock lock(g_proxy.mutex);
        // Switching on (again) restarts at once, without the pause of a failing agent; a
        // running agent is kept.
        if (g_proxy.pid < 0) zeb_proxy_pacing::reset(g_proxy.pacing);
        g_proxy.state = ZEB_PROXY_STATE_START;
        startsBefore = g_proxy.starts;
        pthread_cond_broadcast(&g_proxy.cond);
    }
    usleep(kSettleUs);
    {
        // An agent that keeps failing may already have ended again: it was started all the
        // same, and its supervision goes on. A missing program starts nothing, though.
        const PthreadMutexLock lock(g_proxy.mutex);
        if (g_proxy.starts != startsBefore && access(kAgentPath, X_OK) == 0) return 0;
    }
    return find_pid_by_name(kAgentName) >= 1 ? 0 : -1;
}

int zeb_proxy_stop() {
    ensurePrimitives();
    {
        const PthreadMutexLock lock(g_proxy.mutex);
        g_proxy.state = ZEB_PROXY_STATE_STOP;
        if (g_proxy.pid > 0) (void)kill_process(g_proxy.pid, SIGTERM);
        pthread_cond_broadcast(&g_proxy.cond);
    }
    usleep(kSettleUs);
    return find_pid_by_name(kAgentName) > 0 ? -1 : 0;
}
