// Process and file utilities shared by every subsystem, the bus error check and the
// logging macro.
#ifndef SERVICE_MONITOR_COMMON_H
#define SERVICE_MONITOR_COMMON_H

#include <dbus/dbus.h>
#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>

#include "logger.h"

// One log line through the gateway logger, tagged with this source file, function and line.
#define SM_LOG(level, ...) \
    log_print((level), "color", "tag", __FILE__, __func__, __LINE__, __VA_ARGS__)

// The daemon's well-known name on the gateway bus, also its name as a configuration subscriber.
constexpr const char* kServiceName = "iot.dmp.service.monitor";

constexpr int kCmdlineBufSize = 256;  // command lines are cut to 255 characters
constexpr int kMaxArgs = 32;          // 31 words plus the terminating null entry
constexpr int kExeDirBufSize = 4096;

// 1 when the path already exists, 0 when it was created (mode 0755), -1 on failure.
[[nodiscard]] int mk_deeppath(const char* path);
// Wall-clock milliseconds since the Unix epoch.
[[nodiscard]] uint64_t get_time_ms();
// Milliseconds of the monotonic clock: intervals and deadlines that a step of the wall
// clock must neither stretch nor cut.
[[nodiscard]] uint64_t get_monotonic_ms();
// Id of the first process whose first command-line argument contains name, or -1.
[[nodiscard]] pid_t find_pid_by_name(const char* name);
// Cuts cmd in place at blanks into argv (kMaxArgs entries, null-terminated).
// Returns the number of words, or -1 when they would not fit.
int split_cmdline(char* cmd, char* argv[kMaxArgs]);
// Starts path as a child with the words of cmd; waits for it when sync is non-zero.
// The child's process id, or -1.
pid_t process_exec(const char* path, const char* cmd, int sync);
// Launches path fully detached (double fork, new session). 0 once launched, -1 on failure.
int process_deamon(const char* path, const char* cmd);
// kill(2), logging the failure. 0 or -1.
int kill_process(pid_t pid, int sig);
// Every thread of the daemon starts through the two helpers below: their body type is
// noexcept, so the compiler checks that nothing can unwind out of a thread.
using THREAD_FUNC_T = void* (*)(void*) noexcept;
// Starts a detached thread. The result of pthread_create.
int create_detached_thread(pthread_t* tid, THREAD_FUNC_T start, void* arg);

// A thread that shutdown waits for: joinable rather than detached, so that it has let go
// of what it used (its thread-local cleanup included) before that is released.
struct JOINABLE_THREAD_T {
    std::mutex lock;  // guards id and joinable: start and join may come from two threads
    pthread_t id{};
    bool joinable = false;
};
// Starts start(arg) on the thread. 0, or the result of pthread_create.
[[nodiscard]] int joinable_thread_start(JOINABLE_THREAD_T* thread, THREAD_FUNC_T start,
                                        void* arg);
// Waits for the thread once, if it was started; later calls return at once.
void joinable_thread_join(JOINABLE_THREAD_T* thread);
// Parent of the executable's directory (cached). 0 on success, 1 on failure.
int get_exe_base_dir(char* out);
// Logs and frees a set libdbus error: -1 when it held one, else 0. Never ends the process.
[[nodiscard]] int check_and_abort(DBusError* error);

#endif
