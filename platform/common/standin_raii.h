// Owning handles shared by the stand-in libraries and tools. They stand in for the
// gateway's own code, so they carry their own few handles rather than the daemon's.
#ifndef GATEWAY_STANDIN_RAII_H
#define GATEWAY_STANDIN_RAII_H

#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct DBusMessageDeleter {
    void operator()(DBusMessage* m) const noexcept { dbus_message_unref(m); }
};
struct FileDeleter {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
struct FreeDeleter {
    void operator()(void* p) const noexcept { free(p); }
};

using DBusMessagePtr = std::unique_ptr<DBusMessage, DBusMessageDeleter>;
using FilePtr = std::unique_ptr<FILE, FileDeleter>;
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

#endif
