#include "cfg_client.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "common.h"
#include "config_manager.h"
#include "raii.h"

namespace {

bool initRecursiveLock(pthread_mutex_t* lock) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    const bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                    pthread_mutex_init(lock, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

std::unique_ptr<CFG_CONN_T> newHandle() noexcept {
    try {
        return std::make_unique<CFG_CONN_T>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

CfgCallLock::CfgCallLock(CFG_CONN_T* handle) noexcept : handle_(handle) {
    pthread_mutex_lock(&handle_->lock);
    while (DBusMessage* stale = dbus_connection_pop_message(handle_->conn)) {
        dbus_message_unref(stale);
    }
}

CfgCallLock::~CfgCallLock() { pthread_mutex_unlock(&handle_->lock); }

CFG_CONN_T* openCfgPrivateConn(const char* address) {
    std::unique_ptr<CFG_CONN_T> handle = newHandle();
    if (!handle) {
        SM_LOG(3, "malloc memory failed\n");
        return nullptr;
    }
    ScopedDBusError error;
    DBusPrivateConnectionPtr conn(dbus_connection_open_private(address, error.get()));
    if (check_and_abort(error.get()) != 0 || !conn) {
        SM_LOG(2, "dbus_connection_open_private fail.\n\n");
        return nullptr;
    }
    // A lost bus must surface as failed calls, not end the daemon.
    dbus_connection_set_exit_on_disconnect(conn.get(), FALSE);
    dbus_bus_register(conn.get(), error.get());
    if (check_and_abort(error.get()) != 0) {
        SM_LOG(2, "bus register error!\n");
        return nullptr;
    }
    if (!initRecursiveLock(&handle->lock)) {
        SM_LOG(3, "malloc memory failed\n");
        return nullptr;
    }
    handle->conn = conn.release();
    return handle.release();
}

void closeCfgPrivateConn(CFG_CONN_T* handle) {
    if (handle == nullptr) return;
    // A private connection must be closed before its last reference goes.
    const DBusPrivateConnectionPtr conn(handle->conn);
    pthread_mutex_destroy(&handle->lock);
    const std::unique_ptr<CFG_CONN_T> owner(handle);
}

void cfgLimitCalls(CFG_CONN_T* handle, int budgetMs) {
    if (handle == nullptr) return;
    handle->deadlineMs.store(get_monotonic_ms() + static_cast<uint64_t>(std::max(budgetMs, 0)));
}

int cfgCallTimeoutMs(const CFG_CONN_T* handle) {
    const uint64_t deadline = handle->deadlineMs.load();
    if (deadline == 0) return kCfgTimeoutMs;
    const uint64_t now = get_monotonic_ms();
    const uint64_t left = deadline > now ? deadline - now : 0;
    return static_cast<int>(std::clamp<uint64_t>(left, kCfgLateCallTimeoutMs, kCfgTimeoutMs));
}

int cfgSetConfig(CFG_CONN_T* handle, const char* key, const char* value) {
    if (handle == nullptr || key == nullptr || value == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    const CfgCallLock guard(handle);
    return set_config(handle->conn, key, value, cfgCallTimeoutMs(handle));
}

int cfgGetConfig(CFG_CONN_T* handle, const char* key, char* buf, int size) {
    if (handle == nullptr || key == nullptr || buf == nullptr || size < 1) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    const CfgCallLock guard(handle);
    char* raw = nullptr;
    const int ret = get_config(handle->conn, key, &raw, cfgCallTimeoutMs(handle));
    const MallocPtr<char> text(raw);
    if (ret == 0 && text) {
        const size_t len = strnlen(text.get(), static_cast<size_t>(size) - 1);
        memcpy(buf, text.get(), len);
        buf[len] = '\0';
    }
    return ret;
}

int cfgSubscribeConfig(CFG_CONN_T* handle, int type, const char* key) {
    if (handle == nullptr || key == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    const CfgCallLock guard(handle);
    return subscribe_config(handle->conn, kServiceName, key, type,
                            cfgCallTimeoutMs(handle));
}

int cfgUnsubscribeConfig(CFG_CONN_T* handle, const char* key) {
    if (handle == nullptr || key == nullptr) {
        SM_LOG(3, "invalid input params\n");
        return -1;
    }
    const CfgCallLock guard(handle);
    return unsubscribe_config(handle->conn, kServiceName, key, cfgCallTimeoutMs(handle));
}
