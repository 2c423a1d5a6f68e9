#include "service_monitor_zeb_proxy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common.h"
#include "raii.h"

namespace {

constexpr const char* kAgentName = "ZebGoAgent.linux";
constexpr const char* kAgentPath = "/harbex/gateway/build/bin/vestrel/ZebGoAgent.linux";
constexpr const char* kSerialDir = "/etc/vestrel";
constexpr const char* kSerialFile = "/etc/vestrel/serial_number.properties";
constexpr const char* kSecretDir = "/harbex/gateway/build/bin/vestrel/config";
constexpr const char* kSecretFile =
    "/harbex/gateway/build/bin/vestrel/config/accesskey.properties";
constexpr useconds_t kSettleUs = 300000;
// Restart pacing: an agent that keeps exiting is restarted after 1 s, then 2 s, 4 s ...
// up to 60 s; a run of at least a minute brings the pause back to 1 s.
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

uint64_t monotonicMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Waits on the condition until woken or until the monotonic time deadlineMs.
void timedWait(ZEB_PROXY_T& proxy, uint64_t deadlineMs) {
    struct timespec ts {};
    ts.tv_sec = static_cast<time_t>(deadlineMs / 1000u);
    ts.tv_nsec = static_cast<long>((deadlineMs % 1000u) * 1000000u);
    pthread_cond_timedwait(&proxy.cond, &proxy.mutex, &ts);
}

void resetPacing(ZEB_PROXY_T& proxy) {
    proxy.nextStartMs = 0;
    proxy.restartDelayMs = kMinRestartDelayMs;
}

// Called under the mutex when a child has ended or could not be started.
void scheduleRestart(ZEB_PROXY_T& proxy) {
    const uint64_t now = monotonicMs();
    if (now - proxy.startedMs >= kStableRunMs) proxy.restartDelayMs = kMinRestartDelayMs;
    proxy.nextStartMs = now + proxy.restartDelayMs;
    if (proxy.state == ZEB_PROXY_STATE_START) {
        SM_LOG(1, "restart %s in %u ms\n", kAgentName, proxy.restartDelayMs);
    }
    proxy.restartDelayMs = std::min(proxy.restartDelayMs * 2, kMaxRestartDelayMs);
}

void startAgent(ZEB_PROXY_T& proxy) {
    proxy.startedMs = monotonicMs();
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
            if (monotonicMs() < proxy.nextStartMs) {
                timedWait(proxy, proxy.nextStartMs);
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
        resetPacing(g_proxy);
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
    const uint64_t deadline = monotonicMs() + kDeinitWaitMs;
    while (g_proxy.alive != 0 && monotonicMs() < deadline) timedWait(g_proxy, deadline);
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
        if (g_proxy.pid < 0) resetPacing(g_proxy);
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

int zeb_proxy_set_serialnum(const char* serial) {
    return zeb_proxy_files::write_serialnum(kSerialDir, kSerialFile, serial);
}

int zeb_proxy_get_serialnum(char* buf, uint32_t len) {
    return zeb_proxy_files::read_serialnum(kSerialFile, buf, len);
}

int sync_agent_secret(const AGENT_SECRET_T* keys) {
    return zeb_proxy_files::sync_secret(kSecretDir, kSecretFile, keys);
}

int set_agent_serect(const AGENT_SECRET_T* keys) {
    return zeb_proxy_files::write_secret(kSecretDir, kSecretFile, keys);
}

int get_agent_secret(AGENT_SECRET_T* out) {
    return zeb_proxy_files::read_secret(kSecretFile, out);
}

int rm_agent_secret_file() { return zeb_proxy_files::remove_secret(kSecretFile); }

// ---- property files --------------------------------------------------------------------

namespace {

constexpr size_t kLineBufSize = 128;  // lines are formatted and read in pieces of 127 bytes
constexpr mode_t kSerialFileMode = 0644;
constexpr mode_t kSecretFileMode = 0600;  // the access-key file holds a secret

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A value written into a one-line property must not be able to start a line of its own.
bool isLineSafe(const char* value, size_t size) {
    const size_t len = strnlen(value, size);
    return len < size && strpbrk(value, "\r\n") == nullptr;
}

bool validSecret(const AGENT_SECRET_T* keys) {
    return keys != nullptr && keys->accessKey[0] != '\0' && keys->secretKey[0] != '\0' &&
           isLineSafe(keys->accessKey, sizeof keys->accessKey) &&
           isLineSafe(keys->secretKey, sizeof keys->secretKey);
}

void makeDir(const char* dir) {
    if (mk_deeppath(dir) < 0) SM_LOG(3, "mkdir %s failed\n", dir);
}

// Creates or truncates path and gives it exactly mode, also when it already existed.
int openForWrite(const char* path, mode_t mode) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        SM_LOG(3, "open file(%s) failed\n", path);
        return -1;
    }
    if (fchmod(fd, mode) != 0) SM_LOG(3, "chmod %s failed:%s\n", path, strerror(errno));
    return fd;
}

// Formats one property line into a 128-byte buffer (cut after 127 bytes) and writes it.
bool writeProperty(int fd, const char* format, const char* value) {
    char line[kLineBufSize] = {};
    snprintf(line, sizeof line, format, value);
    const char* data = line;
    size_t left = strlen(line);
    while (left > 0) {
        const ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// "key = value" -> value; blanks around "=" are allowed. false when no value follows.
bool scanValue(const char* line, char* value, const char* format) {
    return sscanf(line, format, value) == 1;
}

}  // namespace

namespace zeb_proxy_files {

int write_serialnum(const char* dir, const char* path, const char* serial) {
    if (serial == nullptr || strpbrk(serial, "\r\n") != nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    makeDir(dir);
    const FileDescriptor fd(openForWrite(path, kSerialFileMode));
    if (fd.get() < 0) return -1;
    if (!writeProperty(fd.get(), "zeb.agent.serialNumber=%s\n", serial)) {
        SM_LOG(3, "write file(%s) failed:%s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

int read_serialnum(const char* path, char* buf, uint32_t len) {
    if (buf == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    const FilePtr file(fopen(path, "re"));
    if (!file) {
        SM_LOG(2, "open file %s failed!,err:%s\n", path, strerror(errno));
        return -1;
    }
    char line[kLineBufSize] = {};
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (strstr(line, "zeb.agent.serialNumber") == nullptr) {
            SM_LOG(3, "no serial number was found in the %s\n", path);
            memset(line, 0, sizeof line);
            continue;
        }
        char value[kLineBufSize] = {};
        if (!scanValue(line, value, "%*[^=]=%127s")) {
            SM_LOG(3, "parse %s failed\n", line);
            return -1;
        }
        const size_t need = strlen(value) + 1;
        if (len < need) {
            SM_LOG(3, "input buffer is short, need %d bytes(%d)\n", static_cast<int>(need),
                   static_cast<int>(len));
            return -1;
        }
        snprintf(buf, len, "%s", value);
        return 0;
    }
    return -1;
}

int read_secret(const char* path, AGENT_SECRET_T* out) {
    if (out == nullptr) return -1;
    memset(out, 0, sizeof *out);
    const FilePtr file(fopen(path, "re"));
    if (!file) return -1;
    char line[kLineBufSize] = {};
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        // The secret key counts only after the access key line: the order matters.
        if (out->accessKey[0] == '\0') {
            if (strstr(line, "zeb.agent.accesskey") != nullptr) {
                (void)scanValue(line, out->accessKey, "%*[^=]=%63s");
            }
        } else if (out->secretKey[0] != '\0') {
            break;
        } else if (strstr(line, "zeb.agent.secretkey") != nullptr) {
            (void)scanValue(line, out->secretKey, "%*[^=]=%63s");
        }
        memset(line, 0, sizeof line);
    }
    return out->accessKey[0] != '\0' && out->secretKey[0] != '\0' ? 0 : -1;
}

int write_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys) {
    if (!validSecret(keys)) {
        SM_LOG(3, "invalid input\n");
        return -1;
    }
    makeDir(dir);
    const FileDescriptor fd(openForWrite(path, kSecretFileMode));
    if (fd.get() < 0) return -1;
    if (!writeProperty(fd.get(), "zeb.agent.accesskey=%s\n", keys->accessKey) ||
        !writeProperty(fd.get(), "zeb.agent.secretkey=%s\n", keys->secretKey)) {
        SM_LOG(3, "write file(%s) failed:%s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

int sync_secret(const char* dir, const char* path, const AGENT_SECRET_T* keys) {
    if (!validSecret(keys)) {
        SM_LOG(3, "invalid input\n");
        return -1;
    }
    AGENT_SECRET_T stored {};
    if (read_secret(path, &stored) != 0 ||
        strncmp(stored.accessKey, keys->accessKey, sizeof stored.accessKey) != 0 ||
        strncmp(stored.secretKey, keys->secretKey, sizeof stored.secretKey) != 0) {
        return write_secret(dir, path, keys);
    }
    SM_LOG(0, "agent key not changed and does not need to be updated\n");
    // A file left readable by others by an older writer is closed up without rewriting it.
    struct stat st {};
    if (stat(path, &st) == 0 && (st.st_mode & 07777) != kSecretFileMode &&
        chmod(path, kSecretFileMode) != 0) {
        SM_LOG(3, "chmod %s failed:%s\n", path, strerror(errno));
    }
    return 0;
}

int remove_secret(const char* path) {
    if (unlink(path) == 0) {
        SM_LOG(0, "delete %s success\n", path);
        return 0;
    }
    SM_LOG(0, "delete %s failed:%s\n", path, strerror(errno));
    return -1;
}

}  // namespace zeb_proxy_files
