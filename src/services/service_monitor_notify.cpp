#include "service_monitor_notify.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "common.h"

namespace {

constexpr const char* kSocketVar = "NOTIFY_SOCKET";
constexpr const char* kWatchdogUsecVar = "WATCHDOG_USEC";
constexpr const char* kWatchdogPidVar = "WATCHDOG_PID";

// Set before any other thread starts and reset after they have ended: never changes while
// another thread reads it.
NotifierPtr g_notifier;

// A whole decimal number above zero, or 0.
uint64_t parsePositive(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') return 0;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' ? value : 0;
}

// Half the manager's time-out, so one late turn does not miss it; 0 for no keep-alive.
uint64_t watchdogIntervalMs(const char* usecText, const char* pidText) {
    if (usecText == nullptr) return 0;
    if (pidText != nullptr && parsePositive(pidText) != static_cast<uint64_t>(getpid())) {
        SM_LOG(1, "%s=%s is not this process: no watchdog keep-alive\n", kWatchdogPidVar, pidText);
        return 0;
    }
    const uint64_t usec = parsePositive(usecText);
    if (usec == 0) SM_LOG(2, "%s=%s is invalid: no watchdog keep-alive\n", kWatchdogUsecVar, usecText);
    return usec == 0 ? 0 : std::max<uint64_t>(usec / 2000, 1);
}

const char* takeVariable(const char* name, char* copy, size_t size) {
    const char* value = getenv(name);
    if (value == nullptr) return nullptr;
    snprintf(copy, size, "%s", value);
    (void)unsetenv(name);  // fails only for a malformed name
    return copy;
}

}  // namespace

int notify_parse_address(const char* text, NOTIFY_ADDRESS_T* out) {
    if (text == nullptr || out == nullptr) return -1;
    const size_t len = strlen(text);
    *out = NOTIFY_ADDRESS_T{};
    out->addr.sun_family = AF_UNIX;
    if (text[0] == '@' && len > 1 && len <= sizeof out->addr.sun_path) {
        // Abstract: a leading zero byte, and the length says where the name ends.
        memcpy(out->addr.sun_path + 1, text + 1, len - 1);
        out->len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
        return 0;
    }
    if (text[0] == '/' && len < sizeof out->addr.sun_path) {
        memcpy(out->addr.sun_path, text, len + 1);
        out->len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1);
        return 0;
    }
    SM_LOG(2, "%s(%s) is not a usable socket address\n", kSocketVar, text);
    return -1;
}

NotifierPtr notifier_open(const char* socketText, const char* watchdogUsec,
                          const char* watchdogPid) {
    if (socketText == nullptr || *socketText == '\0') return nullptr;
    NOTIFY_ADDRESS_T address{};
    if (notify_parse_address(socketText, &address) != 0) return nullptr;
    FileDescriptor fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        SM_LOG(2, "notify socket: %s\n", strerror(errno));
        return nullptr;
    }
    NotifierPtr notifier;
    try {
        notifier = std::make_unique<NOTIFIER_T>(std::move(fd));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    notifier->address = address;
    notifier->watchdogIntervalMs = watchdogIntervalMs(watchdogUsec, watchdogPid);
    return notifier;
}

int notifier_send(NOTIFIER_T* notifier, const char* message) {
    if (notifier == nullptr) return 0;
    const NOTIFY_ADDRESS_T& to = notifier->address;
    // Sent to the address each time rather than connected, so a manager that re-creates
    // its socket is still reached; never blocking the main loop on a full queue.
    const ssize_t sent = sendto(notifier->fd.get(), message, strlen(message),
                                MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&to.addr), to.len);
    if (sent < 0) {
        if (!notifier->failing.exchange(true)) SM_LOG(2, "notify failed: %s\n", strerror(errno));
        return -1;
    }
    if (notifier->failing.exchange(false)) SM_LOG(1, "notify works again\n");
    return 0;
}

void notifier_turn(NOTIFIER_T* notifier, uint64_t nowMs) {
    if (notifier == nullptr) return;
    if (!notifier->ready) {
        notifier->ready = notifier_send(notifier, "READY=1\nSTATUS=running") == 0;
    }
    if (notifier->watchdogIntervalMs == 0 || nowMs < notifier->nextWatchdogMs) return;
    // A failed keep-alive is tried again on the next turn, not half a time-out later.
    if (notifier_send(notifier, "WATCHDOG=1") == 0) {
        notifier->nextWatchdogMs = nowMs + notifier->watchdogIntervalMs;
    }
}

void notify_init() {
    // One byte more than any usable address, so a longer value is refused, not cut.
    char socketText[sizeof(sockaddr_un::sun_path) + 2];
    char usec[24];
    char pid[24];
    const char* socketValue = takeVariable(kSocketVar, socketText, sizeof socketText);
    const char* usecValue = takeVariable(kWatchdogUsecVar, usec, sizeof usec);
    const char* pidValue = takeVariable(kWatchdogPidVar, pid, sizeof pid);
    g_notifier = notifier_open(socketValue, usecValue, pidValue);
    if (!g_notifier) return;
    SM_LOG(1, "notify %s, watchdog keep-alive every %" PRIu64 " ms\n", socketText,
           g_notifier->watchdogIntervalMs);
    (void)notifier_send(g_notifier.get(), "STATUS=starting");  // logged there
}

void notify_deinit() { g_notifier.reset(); }

void notify_main_loop_turn() {
    if (g_notifier) notifier_turn(g_notifier.get(), get_monotonic_ms());
}

void notify_stopping() { (void)notifier_send(g_notifier.get(), "STOPPING=1\nSTATUS=stopping"); }

void notify_period_status(const NOTIFY_PERIOD_STATUS_T& status) {
    if (!g_notifier) return;
    char line[160];
    snprintf(line, sizeof line,
             "STATUS=period: samples accepted %" PRIu64 ", uploads accepted %" PRIu64
             " failed %" PRIu64 ", backlog %" PRIu64 " metrics",
             status.samplesAccepted, status.uploadsAccepted, status.uploadsFailed,
             status.backlogMetrics);
    (void)notifier_send(g_notifier.get(), line);  // logged there
}
