// Test fixtures: a private dbus-daemon in a temporary folder, the configuration-manager
// service as a child process, and private client connections.
#ifndef TESTS_PRIVATE_BUS_H
#define TESTS_PRIVATE_BUS_H

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testbus {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Starts argv with stdout to outFd (when >= 0) and stderr appended to errPath (when set).
inline pid_t spawn(const std::vector<std::string>& argv, int outFd, const std::string& errPath) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
        if (!errPath.empty()) {
            const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) dup2(fd, STDERR_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Exit status of pid after sig (or -1 when it died of a signal).
inline int stopProcess(pid_t pid, int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Owning private bus connection, registered on the bus.
class Client {
public:
    explicit Client(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        conn_ = dbus_connection_open_private(address.c_str(), &error);
        if (conn_ != nullptr) {
            dbus_connection_set_exit_on_disconnect(conn_, FALSE);
            if (!dbus_bus_register(conn_, &error)) close();
        }
        dbus_error_free(&error);
        if (conn_ == nullptr) throw std::runtime_error("cannot connect to " + address);
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    DBusConnection* get() const { return conn_; }
    bool own(const char* name) {
        return dbus_bus_request_name(conn_, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) ==
               DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
    }
    bool hasOwner(const char* name) { return dbus_bus_name_has_owner(conn_, name, nullptr); }

private:
    void close() {
        if (conn_ == nullptr) return;
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
    }
    DBusConnection* conn_ = nullptr;
};

// A dbus-daemon of its own, listening in a fresh temporary folder.
class PrivateBus {
public:
    PrivateBus() {
        char tmpl[] = "/tmp/sm-bus-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        const std::string conf = dir_ + "/bus.conf";
        writeFile(conf,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                  "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>session</type><listen>unix:path=" + dir_ + "/bus</listen>"
                  "<auth>EXTERNAL</auth><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
        address_ = "unix:path=" + dir_ + "/bus";
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid_ = spawn({"/usr/bin/dbus-daemon", "--config-file=" + conf, "--address=" + address_,
                      "--nofork", "--print-address"},
                     fds[1], dir_ + "/bus.log");
        ::close(fds[1]);
        const bool up = waitLine(fds[0]);
        ::close(fds[0]);
        if (!up) throw std::runtime_error("dbus-daemon did not start: " + readFile(dir_ + "/bus.log"));
    }
    ~PrivateBus() {
        stopProcess(pid_, SIGTERM);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    const std::string& dir() const { return dir_; }

private:
    static bool waitLine(int fd) {
        pollfd p{fd, POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 10000) > 0 && read(fd, &c, 1) == 1) {
            if (c == '\n') return true;
        }
        return false;
    }
    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
};

// Path of the service binary: the build's own, or beside the build tree of this test.
inline std::string serviceBinary() {
#ifdef CONFIG_MANAGER_SERVICE_PATH
    return CONFIG_MANAGER_SERVICE_PATH;
#else
    const auto exe = std::filesystem::read_symlink("/proc/self/exe");
    return (exe.parent_path().parent_path() / "platform/config-manager/config_manager_service")
        .string();
#endif
}

// The configuration-manager service on a bus, stopped on destruction.
class Service {
public:
    Service(const std::string& address, std::string store, std::string errPath)
        : address_(address), store_(std::move(store)), errPath_(std::move(errPath)) {}
    ~Service() { stop(SIGTERM); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts it and waits (up to 10 s) until it owns its bus name.
    bool start() {
        Client probe(address_);
        // A killed predecessor may still hold the name until the bus notices its end.
        for (int i = 0; i < 1000 && probe.hasOwner("iot.gateway.config"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = spawn({serviceBinary(), "--address", address_, "--store", store_}, -1, errPath_);
        for (int i = 0; i < 1000; ++i) {
            if (probe.hasOwner("iot.gateway.config")) return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        return false;
    }
    int stop(int sig) {
        const int status = stopProcess(pid_, sig);
        pid_ = -1;
        return status;
    }
    bool running() const { return pid_ > 0; }

private:
    std::string address_;
    std::string store_;
    std::string errPath_;
    pid_t pid_ = -1;
};

// Owns a bus name and answers notify_config calls on a thread of its own, after running
// the optional callback, recording each (key, value).
class Subscriber {
public:
    using Notice = std::pair<std::string, std::string>;
    using Callback = std::function<void(const std::string&, const std::string&)>;

    Subscriber(const std::string& address, const char* name, Callback callback = {})
        : client_(address), callback_(std::move(callback)) {
        if (!client_.own(name)) throw std::runtime_error(std::string("cannot own ") + name);
        thread_ = std::thread([this] { run(); });
    }
    ~Subscriber() {
        stop_ = true;
        thread_.join();
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    std::vector<Notice> notices() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }
    // Waits (up to 10 s) until the notices satisfy done.
    bool waitFor(const std::function<bool(const std::vector<Notice>&)>& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, std::chrono::seconds(10), [&] { return done(notices_); });
    }
    bool waitForValue(const std::string& key, const std::string& value) {
        return waitFor([&](const std::vector<Notice>& all) {
            return !all.empty() && all.back() == Notice(key, value);
        });
    }

private:
    void run() {
        while (!stop_ && dbus_connection_read_write(client_.get(), 50)) {
            while (DBusMessage* msg = dbus_connection_pop_message(client_.get())) {
                answer(msg);
                dbus_message_unref(msg);
            }
        }
    }
    void answer(DBusMessage* msg) {
        const char* key = nullptr;
        const char* value = nullptr;
        if (!dbus_message_is_method_call(msg, "iot.gateway.config", "notify_config") ||
            !dbus_message_get_args(msg, nullptr, DBUS_TYPE_STRING, &key, DBUS_TYPE_STRING, &value,
                                   DBUS_TYPE_INVALID)) {
            return;
        }
        if (callback_) callback_(key, value);
        DBusMessage* reply = dbus_message_new_method_return(msg);
        const dbus_int32_t code = 0;
        dbus_message_append_args(reply, DBUS_TYPE_INT32, &code, DBUS_TYPE_INVALID);
        dbus_connection_send(client_.get(), reply, nullptr);
        dbus_message_unref(reply);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            notices_.emplace_back(key, value);
        }
        cond_.notify_all();
    }

    Client client_;
    Callback callback_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Notice> notices_;
    std::thread thread_;
};

}  // namespace testbus

#endif
