// A private dbus-daemon in a temporary folder and stand-in services as child processes.
// Every wait is bounded: a child that does not stop in time is killed.
#ifndef TESTS_PRIVATE_BUS_H
#define TESTS_PRIVATE_BUS_H

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "file_text.h"

namespace testbus {

// Polls pred every 20 ms for up to timeoutMs; its last result.
inline bool eventually(const std::function<bool()>& pred, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

// Starts argv with stdout to outFd (when >= 0) and stdout and stderr appended to logPath.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath,
                   int outFd = -1) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) dup2(fd, STDERR_FILENO);
        dup2(outFd >= 0 ? outFd : fd, STDOUT_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Sends sig, waits up to 5 s, then kills. The exit status, or -1 when a signal ended it.
inline int stopProcess(pid_t pid, int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 250 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);  // SIGKILL cannot be ignored
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A dbus-daemon of its own, listening in a fresh temporary folder.
class PrivateBus {
public:
    PrivateBus() {
        char tmpl[] = "/tmp/sm-bus-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        address_ = "unix:path=" + dir_ + "/bus";
        writeAll(dir_ + "/bus.conf",
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                 "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type><listen>" + address_ + "</listen>"
                 "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                 "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                 "<allow own=\"*\"/></policy></busconfig>\n");
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid_ = spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork",
                      "--print-address"},
                     dir_ + "/bus.log", fds[1]);
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        const bool up = poll(&p, 1, 10000) == 1;
        close(fds[0]);
        if (!up) throw std::runtime_error("dbus-daemon did not start: " + readAll(dir_ + "/bus.log"));
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

    // True once name has an owner on this bus, within timeoutMs.
    bool waitForOwner(const char* name, bool owned = true, int timeoutMs = 10000) const {
        DBusConnection* probe = dbus_connection_open_private(address_.c_str(), nullptr);
        if (probe == nullptr || !dbus_bus_register(probe, nullptr)) return false;
        const bool ok = eventually(
            [&] { return dbus_bus_name_has_owner(probe, name, nullptr) == owned; }, timeoutMs);
        dbus_connection_close(probe);
        dbus_connection_unref(probe);
        return ok;
    }

private:
    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
};

// A stand-in service on the bus: started when its bus name is owned, stopped on destruction.
class Service {
public:
    Service(const PrivateBus& bus, const char* name, std::vector<std::string> argv)
        : bus_(bus), name_(name), argv_(std::move(argv)) {}
    ~Service() { stop(SIGTERM); }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    bool start() {
        // A killed predecessor may still hold the name until the bus notices its end.
        if (!bus_.waitForOwner(name_, false)) return false;
        pid_ = spawn(argv_, bus_.dir() + "/" + name_ + ".log");
        return bus_.waitForOwner(name_);
    }
    int stop(int sig) {
        const int status = stopProcess(pid_, sig);
        pid_ = -1;
        return status;
    }
    std::string log() const { return readAll(bus_.dir() + "/" + name_ + ".log"); }

private:
    const PrivateBus& bus_;
    const char* name_;
    std::vector<std::string> argv_;
    pid_t pid_ = -1;
};

}  // namespace testbus

#endif
