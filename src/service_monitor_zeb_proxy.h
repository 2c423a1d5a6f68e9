// Agent proxy: keeps the monitoring agent "ZebGoAgent.linux" running while it is wanted
// and owns the agent's serial-number and access-key property files.
// All operations return 0 on success and -1 on failure unless said otherwise.
#ifndef SERVICE_MONITOR_ZEB_PROXY_H
#define SERVICE_MONITOR_ZEB_PROXY_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

constexpr int32_t ZEB_PROXY_STATE_STOP = 0;   // agent not wanted
constexpr int32_t ZEB_PROXY_STATE_START = 1;  // agent wanted

struct ZEB_PROXY_T {
    pthread_t tid;
    int32_t state;          // wanted state; guarded by mutex
    pthread_mutex_t mutex;  // guards every field below except running
    pthread_cond_t cond;    // signalled on every change of state, pid or alive
    int32_t pid;            // running agent child, -1 when none
    std::atomic<int32_t> running;  // 0 asks the supervision thread to end
    // Supervision bookkeeping (monotonic milliseconds).
    int32_t alive;            // 1 from thread start until it has stopped touching the record
    uint64_t startedMs;       // when the current child was started
    uint64_t nextStartMs;     // earliest time of the next start; 0 = at once
    uint32_t restartDelayMs;  // pause before the next restart after a short run
    uint32_t starts;          // children started so far
};

struct AGENT_SECRET_T {
    char accessKey[64];
    char secretKey[64];
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

// Writes "/etc/vestrel/serial_number.properties".
[[nodiscard]] int zeb_proxy_set_serialnum(const char* serial);
// Reads the serial number into buf (len bytes, NUL included).
[[nodiscard]] int zeb_proxy_get_serialnum(char* buf, uint32_t len);
// Writes the access-key file only when its content would change.
[[nodiscard]] int sync_agent_secret(const AGENT_SECRET_T* keys);
// Writes the access-key file (mode 0600).
[[nodiscard]] int set_agent_serect(const AGENT_SECRET_T* keys);
// Reads the access-key file; 0 only when both keys were found.
[[nodiscard]] int get_agent_secret(AGENT_SECRET_T* out);
// Deletes the access-key file; -1 when there was none or it could not be removed.
int rm_agent_secret_file();

// The property-file operations above on explicit paths (dir is created on demand).
namespace zeb_proxy_files {
[[nodiscard]] int write_serialnum(const char* dir, const char* path, const char* serial);
[[nodiscard]] int read_serialnum(const char* path, char* buf, uint32_t len);
[[nodiscard]] int write_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys);
[[nodiscard]] int read_secret(const char* path, AGENT_SECRET_T* out);
[[nodiscard]] int sync_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys);
int remove_secret(const char* path);
}  // namespace zeb_proxy_files

#endif
