#include "common.h"

#include <dirent.h>
#include <limits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "raii.h"

namespace {

constexpr mode_t kDirMode = 0755;

bool pathExists(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0;
}

// Builds the child's argument vector before fork: after fork in a multi-threaded
// process the child may only call async-signal-safe functions.
struct ArgVector {
    char buf[kCmdlineBufSize] = {};
    char* argv[kMaxArgs] = {};
};

[[nodiscard]] bool prepareArgs(const char* cmd, ArgVector& args) {
    snprintf(args.buf, sizeof args.buf, "%s", cmd);
    if (split_cmdline(args.buf, args.argv) < 0) {
        SM_LOG(3, "too many words in command line: %s\n", cmd);
        return false;
    }
    return true;
}

// Child side of a start: only async-signal-safe calls from here on.
[[noreturn]] void execChild(const char* path, ArgVector& args) {
    execv(path, args.argv);
    _exit(errno);
}

}  // namespace

int mk_deeppath(const char* path) {
    if (path != nullptr && pathExists(path)) return 1;
    if (path == nullptr) {
        SM_LOG(3, "input params is NULL\n");
        return -1;
    }
    std::string copy(path);
    for (size_t i = 1; i < copy.size(); ++i) {
        if (copy[i] != '/') continue;
        copy[i] = '\0';
        if (!pathExists(copy.c_str()) && mkdir(copy.c_str(), kDirMode) != 0) {
            SM_LOG(3, "mkdir %s failed, %s\n", copy.c_str(), strerror(errno));
            return -1;
        }
        copy[i] = '/';
    }
    if (mkdir(path, kDirMode) != 0) {
        SM_LOG(3, "mkdir %s failed, %s\n", path, strerror(errno));
        return -1;
    }
    SM_LOG(0, "mkdir %s success\n", path);
    return 0;
}

uint64_t get_time_ms() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

uint64_t get_monotonic_ms() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

namespace {

bool cmdlineContains(int pid, const char* name) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%d/cmdline", "/proc", pid);
    FilePtr file(fopen(path, "r"));
    if (!file) return false;
    char line[254] = {};
    return fgets(line, sizeof line, file.get()) != nullptr && strstr(line, name) != nullptr;
}

}  // namespace

pid_t find_pid_by_name(const char* name) {
    if (name == nullptr) return -1;
    const DirPtr dir(opendir("/proc"));
    if (!dir) return -1;
    while (const struct dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        int pid = 0;
        if (sscanf(entry->d_name, "%10d", &pid) != 1) continue;
        if (cmdlineContains(pid, name)) return pid;
    }
    return -1;
}

int split_cmdline(char* cmd, char* argv[kMaxArgs]) {
    int count = 0;
    char* save = nullptr;
    for (char* word = strtok_r(cmd, " ", &save); word != nullptr;
         word = strtok_r(nullptr, " ", &save)) {
        if (count == kMaxArgs - 1) {
            argv[0] = nullptr;
            return -1;
        }
        argv[count++] = word;
    }
    argv[count] = nullptr;
    return count;
}

pid_t process_exec(const char* path, const char* cmd, int sync) {
    if (path == nullptr || cmd == nullptr) {
        SM_LOG(3, "invalid input\n");
        return -1;
    }
    ArgVector args;
    if (!prepareArgs(cmd, args)) return -1;
    SM_LOG(1, "exec cmd!path:%s cmd:%s sync:%d\n", path, cmd, sync);
    const pid_t pid = fork();
    if (pid < 0) {
        SM_LOG(3, "fork failed\n");
        return -1;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGHUP);
        execChild(path, args);
    }
    SM_LOG(1, "child process, pid = %d, father_pid:%d\n\n", pid, getpid());
    if (sync != 0) {
        int status = 0;
        const pid_t waited = waitpid(pid, &status, 0);
        if ((status & 0x7f) != 0) SM_LOG(3, "the child process %d exit abnormally\n\n", waited);
    }
    return pid;
}

int process_deamon(const char* path, const char* cmd) {
    if (path == nullptr || cmd == nullptr) {
        SM_LOG(3, "invalid input\n");
        return -1;
    }
    ArgVector args;
    if (!prepareArgs(cmd, args)) return -1;
    SM_LOG(1, "exec cmd!path:%s cmd:%s\n", path, cmd);
    const pid_t pid = fork();
    if (pid < 0) {
        SM_LOG(3, "fork failed\n");
        return -1;
    }
    if (pid == 0) {
        setsid();
        const pid_t grandchild = fork();
        if (grandchild != 0) _exit(1);  // also when the second fork failed
        const struct timespec settle = {0, 100 * 1000 * 1000};
        nanosleep(&settle, nullptr);
        execChild(path, args);
    }
    if (waitpid(pid, nullptr, 0) != pid) {
        SM_LOG(3, "wait pid(%d) failed\n", pid);
        return -1;
    }
    SM_LOG(1, "child process, pid = %d, father_pid:%d\n\n", pid, getpid());
    return 0;
}

int kill_process(pid_t pid, int sig) {
    const int ret = kill(pid, sig);
    if (ret == -1) SM_LOG(3, "%s\n", strerror(errno));
    return ret;
}

int create_detached_thread(pthread_t* tid, THREAD_FUNC_T start, void* arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const int ret = pthread_create(tid, &attr, start, arg);
    pthread_attr_destroy(&attr);
    return ret;
}

int joinable_thread_start(JOINABLE_THREAD_T* thread, THREAD_FUNC_T start, void* arg) {
    const std::lock_guard<std::mutex> lock(thread->lock);
    const int ret = pthread_create(&thread->id, nullptr, start, arg);
    thread->joinable = ret == 0;
    return ret;
}

void joinable_thread_join(JOINABLE_THREAD_T* thread) {
    const std::lock_guard<std::mutex> lock(thread->lock);
    if (thread->joinable) pthread_join(thread->id, nullptr);
    thread->joinable = false;
}

namespace {
// Resolved once; the only caller runs on one thread at a time.
char g_exeBaseDir[kExeDirBufSize];
bool g_exeBaseDirPending = true;
}  // namespace

int get_exe_base_dir(char* out) {
    if (!g_exeBaseDirPending) {
        memcpy(out, g_exeBaseDir, sizeof g_exeBaseDir);
        return 0;
    }
    char exe[kExeDirBufSize + 8] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, kExeDirBufSize - 1);
    if (n <= 0) return 1;
    exe[n] = '\0';
    if (char* slash = strrchr(exe, '/')) *slash = '\0';
    strncat(exe, "/../", sizeof exe - strlen(exe) - 1);
    char resolved[PATH_MAX] = {};
    if (realpath(exe, resolved) == nullptr) {
        const size_t len = std::min(strlen(exe), static_cast<size_t>(kExeDirBufSize - 1));
        memcpy(out, exe, len);
        out[len] = '\0';
        return 1;
    }
    snprintf(g_exeBaseDir, sizeof g_exeBaseDir, "%s", resolved);
    g_exeBaseDirPending = false;
    memcpy(out, g_exeBaseDir, sizeof g_exeBaseDir);
    return 0;
}

int check_and_abort(DBusError* error) {
    if (!dbus_error_is_set(error)) return 0;
    SM_LOG(2, "DBus error:%s!\n", error->message);
    dbus_error_free(error);
    return -1;
}
