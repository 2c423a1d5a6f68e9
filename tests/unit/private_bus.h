// A private dbus-daemon in a temporary folder, with stand-in services as child processes.
// Every wait is bounded: a child that does not stop in time is killed.
#ifndef TESTS_PRIVATE_BUS_H
#define TESTS_PRIVATE_BUS_H

#include <dbus/dbus.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "file_text.h"
#include "raii.h"

namespace testbus {

// Polls pred every 20 ms for up to timeoutMs.
inline bool eventually(const std::function<bool()>& pred, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

// Starts argv with its output appended to logPath.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Sends sig and waits up to 5 s, then kills: the exit status, or -1 when a signal ended it.
inline int stopProcess(pid_t pid, int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int status = 0;
    if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);  // SIGKILL cannot be ignored
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A dbus-daemon of its own, and the stand-ins started on it, all stopped on destruction.
class PrivateBus {
public:
    PrivateBus() {
        address_ = "unix:path=" + dir_ + "/bus";
        writeAll(dir_ + "/bus.conf",
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                 "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type><listen>" + address_ + "</listen>"
                 "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                 "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                 "<allow own=\"*\"/></policy></busconfig>\n");
        children_.push_back(
            spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork"},
                  dir_ + "/bus.log"));
        if (!eventually([&] { return access((dir_ + "/bus").c_str(), F_OK) == 0; })) {
            throw std::runtime_error("dbus-daemon did not start: " + readAll(dir_ + "/bus.log"));
        }
    }
    ~PrivateBus() {
        for (auto it = children_.rbegin(); it != children_.rend(); ++it) stopProcess(*it, SIGTERM);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    const std::string& dir() const { return dir_; }

    // Starts a stand-in; true once it owns name. Its output goes to dir()/<name>.log.
    bool start(const char* name, const std::vector<std::string>& argv) {
        children_.push_back(spawn(argv, dir_ + "/" + name + ".log"));
        return waitForOwner(name, true);
    }
    // Stops the stand-in started last; its exit status.
    int stopLast(int sig) {
        const int status = stopProcess(children_.back(), sig);
        children_.pop_back();
        return status;
    }

private:
    bool waitForOwner(const char* name, bool owned) const {
        const DBusPrivateConnectionPtr probe(dbus_connection_open_private(address_.c_str(), nullptr));
        return probe != nullptr && dbus_bus_register(probe.get(), nullptr) &&
               eventually([&] { return dbus_bus_name_has_owner(probe.get(), name, nullptr) == owned; });
    }

    TempDir tmp_;
    const std::string dir_ = tmp_.path();
    std::string address_;
    std::vector<pid_t> children_;
};

}  // namespace testbus

#endif
