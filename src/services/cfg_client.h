// Client of the gateway configuration manager over a private bus connection of its own.
// Every call on the connection, here and in the credential client, holds the handle's
// recursive lock, so at most one request is outstanding at a time.
#ifndef SERVICE_MONITOR_CFG_CLIENT_H
#define SERVICE_MONITOR_CFG_CLIENT_H

#include <dbus/dbus.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

struct CFG_CONN_T {
    pthread_mutex_t lock;  // recursive
    DBusConnection* conn;  // private, registered, owns no well-known name
    // Monotonic milliseconds by which calls are to end once shutdown limited them; 0: none.
    std::atomic<uint64_t> deadlineMs{0};
};

constexpr int kCfgTimeoutMs = 3000;
// The wait of a call made past the deadline: a manager that answers at once still hears
// of it, a silent one costs little.
constexpr int kCfgLateCallTimeoutMs = 250;
// The configuration-manager library's result for a key that does not exist.
constexpr int kCfgNotFound = 100100;

// Opens and registers a private connection to the bus at address; null on failure.
[[nodiscard]] CFG_CONN_T* openCfgPrivateConn(const char* address);
// Closes the connection and releases the handle; accepts null.
void closeCfgPrivateConn(CFG_CONN_T* handle);
// From now on calls on the handle wait only for what is left of budgetMs, and at least
// kCfgLateCallTimeoutMs: shutdown stays bounded whatever the manager does. Null accepted.
void cfgLimitCalls(CFG_CONN_T* handle, int budgetMs);
// The time-out of a call made now: kCfgTimeoutMs unless the calls are limited.
[[nodiscard]] int cfgCallTimeoutMs(const CFG_CONN_T* handle);

// The results below are the configuration-manager library's (0 success, kCfgNotFound for
// a key that does not exist), or -1 for invalid arguments (the library is then not called).
[[nodiscard]] int cfgSetConfig(CFG_CONN_T* handle, const char* key, const char* value);
// On success buf holds the value, cut to size - 1 characters and NUL-terminated; on
// failure it is left as it was. A size below 1 counts as an invalid argument.
[[nodiscard]] int cfgGetConfig(CFG_CONN_T* handle, const char* key, char* buf, int size);
[[nodiscard]] int cfgSubscribeConfig(CFG_CONN_T* handle, int type, const char* key);
int cfgUnsubscribeConfig(CFG_CONN_T* handle, const char* key);

// Holds the handle's lock for one blocking call. On taking it, drops what is queued on
// the connection: a reply that came after its call timed out, or a signal from the bus.
// Nothing else reads this connection, so such messages would otherwise pile up.
class CfgCallLock {
public:
    explicit CfgCallLock(CFG_CONN_T* handle) noexcept;
    ~CfgCallLock();
    CfgCallLock(const CfgCallLock&) = delete;
    CfgCallLock& operator=(const CfgCallLock&) = delete;

private:
    CFG_CONN_T* handle_;
};

#endif
