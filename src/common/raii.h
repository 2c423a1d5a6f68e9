// Owning handles for the C libraries the daemon uses. Each deleter is stateless, so a
// handle costs one pointer; release() is used only where a C library takes ownership.
#ifndef SERVICE_MONITOR_RAII_H
#define SERVICE_MONITOR_RAII_H

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <dbus/dbus.h>

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct DBusMessageDeleter {
    void operator()(DBusMessage* m) const noexcept { dbus_message_unref(m); }
};
// A shared connection is only unreferenced: libdbus holds a reference of its own and
// closes it. A private one must be closed before its last reference goes.
struct DBusSharedConnectionDeleter {
    void operator()(DBusConnection* c) const noexcept { dbus_connection_unref(c); }
};
struct DBusPrivateConnectionDeleter {
    void operator()(DBusConnection* c) const noexcept {
        dbus_connection_close(c);
        dbus_connection_unref(c);
    }
};
struct CJsonDeleter {
    void operator()(cJSON* j) const noexcept { cJSON_Delete(j); }
};
struct CJsonTextDeleter {
    void operator()(char* t) const noexcept { cJSON_free(t); }
};
struct CurlDeleter {
    void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct CurlMultiDeleter {
    void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};
struct CurlShareDeleter {
    void operator()(CURLSH* s) const noexcept { curl_share_cleanup(s); }
};
struct CurlSlistDeleter {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
struct FileDeleter {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
struct DirDeleter {
    void operator()(DIR* d) const noexcept { closedir(d); }
};
struct FreeDeleter {
    void operator()(void* p) const noexcept { free(p); }
};

using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageDeleter>;
using DBusConnectionPtr = std::unique_ptr<DBusConnection, DBusSharedConnectionDeleter>;
using DBusPrivateConnectionPtr = std::unique_ptr<DBusConnection, DBusPrivateConnectionDeleter>;
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;
using CJsonText = std::unique_ptr<char, CJsonTextDeleter>;
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using CurlMultiPtr = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlSharePtr = std::unique_ptr<CURLSH, CurlShareDeleter>;
using CurlSlistPtr = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using FilePtr = std::unique_ptr<FILE, FileDeleter>;
using DirPtr = std::unique_ptr<DIR, DirDeleter>;
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// A libdbus error record that is initialised on construction and freed on scope exit.
class ScopedDBusError {
public:
    ScopedDBusError() noexcept { dbus_error_init(&error_); }
    ~ScopedDBusError() { dbus_error_free(&error_); }
    ScopedDBusError(const ScopedDBusError&) = delete;
    ScopedDBusError& operator=(const ScopedDBusError&) = delete;

    DBusError* get() noexcept { return &error_; }
    bool isSet() const noexcept { return dbus_error_is_set(&error_) != 0; }

private:
    DBusError error_;
};

// Owns a file descriptor; -1 holds none.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }
    // Closes the descriptor held, if any, and holds fd instead.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Holds a pthread mutex for a scope, for records whose lock is a pthread one (a
// recursive mutex, or one that a condition with a chosen clock waits on).
class PthreadMutexLock {
public:
    explicit PthreadMutexLock(pthread_mutex_t& mutex) noexcept : mutex_(mutex) {
        pthread_mutex_lock(&mutex_);
    }
    ~PthreadMutexLock() { pthread_mutex_unlock(&mutex_); }
    PthreadMutexLock(const PthreadMutexLock&) = delete;
    PthreadMutexLock& operator=(const PthreadMutexLock&) = delete;

private:
    pthread_mutex_t& mutex_;
};

#endif
