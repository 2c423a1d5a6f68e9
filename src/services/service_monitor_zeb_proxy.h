// Agent proxy, supervision: keeps the monitoring agent "ZebGoAgent.linux" running while it
// is wanted, restarting a failing agent at a growing pause. The agent's property files are
// in service_monitor_zeb_proxy_files.h.
// All operations return 0 on success and -1 on failure unless said otherwise.
#ifndef SERVICE_MONITOR_ZEB_PROXY_H
#define SERVICE_MONITOR_ZEB_PROXY_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

constexpr int32_t ZEB_PROXY_STATE_STOP = 0;   // agent not wanted
constexpr int32_t ZEB_PROXY_STATE_START = 1;  // agent wanted

// Restart pacing of the agent, in monotonic milliseconds: an agent that keeps exiting is
// restarted after 1 s, then 2 s, 4 s ... up to 60 s; a run of at least a minute brings the
// pause back to 1 s.
struct AGENT_RESTART_PACING_T {
    uint64_t startedMs;       // when the current child was started
    uint64_t nextStartMs;     // earliest time of the next start; 0 = at once
    uint32_t restartDelayMs;  // pause before the next restart after a short run
};

struct ZEB_PROXY_T {
    pthread_t tid;
    int32_t state;          // wanted state; guarded by mutex
    pthread_mutex_t mutex;  // guards every field below except running
    pthread_cond_t cond;    // signalled on every change of state, pid or alive
    int32_t pid;            // running agent child, -1 when none
    std::atomic<int32_t> running;  // 0 asks the supervision thread to end
    int32_t alive;  // 1 from thread start until it has stopped touching the record
    AGENT_RESTART_PACING_T pacing;
    uint32_t starts;  // children started so far
};

// Initialises the record, signals a stray agent and starts the supervision thread.
[[nodiscard]] int zeb_proxy_init();
// Stops the agent and ends supervision; waits a bounded time for the thread. Always 0.
int zeb_proxy_deinit();
// Wants the agent running, at once even during the pause between restarts of a failing
// agent: 0 when an agent process exists 300 ms later or one was started meanwhile.
[[nodiscard]] int zeb_proxy_start();
// Wants the agent stopped and sends it SIGTERM: 0 when none exists 300 ms later.
[[nodiscard]] int zeb_proxy_stop();
// Body of the supervision thread; arg is the ZEB_PROXY_T.
void* zeb_proxy_thread(void* arg) noexcept;

// The pacing rules on an explicit clock.
namespace zeb_proxy_pacing {
// Next start at once, the pause back to its shortest.
void reset(AGENT_RESTART_PACING_T& pacing) noexcept;
// A child started at nowMs.
void started(AGENT_RESTART_PACING_T& pacing, uint64_t nowMs) noexcept;
// A child ended or could not be started at nowMs: sets the next start and returns the pause
// before it.
uint32_t ended(AGENT_RESTART_PACING_T& pacing, uint64_t nowMs) noexcept;
// Whether a start is due at nowMs.
[[nodiscard]] bool due(const AGENT_RESTART_PACING_T& pacing, uint64_t nowMs) noexcept;
}  // namespace zeb_proxy_pacing

#endif
