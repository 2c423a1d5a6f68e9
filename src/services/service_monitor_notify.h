// Notifications to the service manager (systemd's datagram protocol over $NOTIFY_SOCKET,
// written here so that the daemon needs no libsystemd): readiness, the keep-alive of its
// main loop, a status line and the stop. Without $NOTIFY_SOCKET every call is a no-op
// that costs a pointer test.
#ifndef SERVICE_MONITOR_SERVICE_MONITOR_NOTIFY_H
#define SERVICE_MONITOR_SERVICE_MONITOR_NOTIFY_H

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "raii.h"

// Where notifications go: a path socket, or an abstract one ("@name" in the variable).
struct NOTIFY_ADDRESS_T {
    sockaddr_un addr;
    socklen_t len;
};

// One socket towards the service manager and the main loop's keep-alive schedule.
struct NOTIFIER_T {
    explicit NOTIFIER_T(FileDescriptor socketFd) noexcept : fd(std::move(socketFd)) {}

    FileDescriptor fd;
    NOTIFY_ADDRESS_T address{};
    uint64_t watchdogIntervalMs = 0;  // half of WATCHDOG_USEC; 0: no keep-alive wanted
    uint64_t nextWatchdogMs = 0;      // monotonic; main thread only, as is ready
    bool ready = false;
    // A manager that stopped listening is reported once, not on every turn.
    std::atomic<bool> failing{false};
};
using NotifierPtr = std::unique_ptr<NOTIFIER_T>;

// What the status line says after each period.
struct NOTIFY_PERIOD_STATUS_T {
    uint64_t samplesAccepted;
    uint64_t uploadsAccepted;
    uint64_t uploadsFailed;
    uint64_t backlogMetrics;  // metrics kept for a later upload; 0 while none are kept
};

// Parses a $NOTIFY_SOCKET value: an absolute path, or "@" and an abstract name. 0, or -1
// (logged) for an empty, relative or too long one.
[[nodiscard]] int notify_parse_address(const char* text, NOTIFY_ADDRESS_T* out);
// A notifier for the variables' values (null: unset). Null without a socket, or when the
// address is unusable (logged). A WATCHDOG_PID naming another process, or a WATCHDOG_USEC
// that is not a positive number, leaves the keep-alive off.
[[nodiscard]] NotifierPtr notifier_open(const char* socket, const char* watchdogUsec,
                                        const char* watchdogPid);
// Sends one message as one datagram, never blocking. 0, or -1 (logged once per outage).
int notifier_send(NOTIFIER_T* notifier, const char* message);
// The main loop's turn at monotonic nowMs: READY=1 after the first, WATCHDOG=1 when due.
void notifier_turn(NOTIFIER_T* notifier, uint64_t nowMs);

// The process's notifier. notify_init reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID
// once and removes them from the environment, so no child (the agent, the DPS scripts)
// inherits them: call it on the main thread before any other thread starts.
void notify_init();
// Closes the socket; call it after every thread that notifies has ended.
void notify_deinit();
// The main loop's turn (see notifier_turn).
void notify_main_loop_turn();
// STOPPING=1 with the status line of the shutdown.
void notify_stopping();
// The status line of a period that ended; any thread.
void notify_period_status(const NOTIFY_PERIOD_STATUS_T& status);

#endif
