#include "service_monitor_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

namespace {

// The service manager's end: a datagram socket bound where the notifier sends.
class Receiver {
public:
    explicit Receiver(const std::string& text) : fd_(socket(AF_UNIX, SOCK_DGRAM, 0)) {
        NOTIFY_ADDRESS_T address{};
        if (notify_parse_address(text.c_str(), &address) != 0 ||
            bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address.addr), address.len) != 0) {
            ADD_FAILURE() << "cannot bind " << text;
        }
    }
    // Every datagram waiting: the sender's sendto has queued it before it returns.
    std::vector<std::string> take() {
        std::vector<std::string> got;
        char buf[512];
        for (ssize_t n; (n = recv(fd_.get(), buf, sizeof buf, MSG_DONTWAIT)) >= 0;) {
            got.emplace_back(buf, static_cast<size_t>(n));
        }
        return got;
    }

private:
    FileDescriptor fd_;
};

std::string pathAddress(const char* name) {
    const std::string path = testing::TempDir() + name;
    unlink(path.c_str());
    return path;
}

std::string abstractAddress() { return "@service-monitor-notify-test-" + std::to_string(getpid()); }

TEST(NotifyAddress, AcceptsPathAndAbstractFormsAndRefusesTheRest) {
    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'p');
    // (text, parsed, sun_path bytes the length covers)
    const std::vector<std::tuple<std::string, bool, size_t>> cases = {
        {"/run/systemd/notify", true, 20},
        {"/" + longest.substr(1), true, longest.size() + 1},
        {"/" + longest, false, 0},
        {"@abstract", true, 9},
        {"@" + longest, true, longest.size() + 1},
        {"@" + longest + "x", false, 0},
        {"@", false, 0},
        {"", false, 0},
        {"run/notify", false, 0},
        {"vsock:2:1234", false, 0},
    };
    for (const auto& [text, parsed, bytes] : cases) {
        NOTIFY_ADDRESS_T address{};
        ASSERT_EQ(notify_parse_address(text.c_str(), &address) == 0, parsed) << text;
        if (!parsed) continue;
        EXPECT_EQ(address.len, offsetof(sockaddr_un, sun_path) + bytes) << text;
        const bool abstract = text[0] == '@';
        EXPECT_EQ(address.addr.sun_path[0], abstract ? '\0' : '/') << text;
        EXPECT_EQ(std::string(address.addr.sun_path + 1, text.size() - 1), text.substr(1));
    }
    EXPECT_EQ(notifier_open("relative", nullptr, nullptr), nullptr);
    EXPECT_EQ(notifier_open("", "30000000", nullptr), nullptr);
}

TEST(NotifySend, ReachesPathAndAbstractSocketsAndReportsAMissingOne) {
    for (const std::string& address : {pathAddress("notify.sock"), abstractAddress()}) {
        Receiver manager(address);
        const NotifierPtr notifier = notifier_open(address.c_str(), nullptr, nullptr);
        ASSERT_NE(notifier, nullptr) << address;
        EXPECT_EQ(notifier_send(notifier.get(), "STATUS=one\nREADY=1"), 0) << address;
        EXPECT_EQ(manager.take(), std::vector<std::string>{"STATUS=one\nREADY=1"}) << address;
    }
    const NotifierPtr missing = notifier_open(pathAddress("absent.sock").c_str(), nullptr, nullptr);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(notifier_send(missing.get(), "READY=1"), -1);
    EXPECT_EQ(notifier_send(missing.get(), "WATCHDOG=1"), -1);
    EXPECT_EQ(notifier_send(nullptr, "READY=1"), 0);
}

TEST(NotifyTurn, ReadyOnceThenKeepAliveAtHalfTheTimeoutForThisProcessOnly) {
    const std::string self = std::to_string(getpid());
    const std::vector<std::string> readyAndPing = {"READY=1\nSTATUS=running", "WATCHDOG=1"};
    // (WATCHDOG_USEC, WATCHDOG_PID, sent at 1000, 1999, 2000 ms)
    const std::vector<std::tuple<const char*, const char*, std::vector<std::vector<std::string>>>>
        cases = {
            {"2000000", nullptr, {readyAndPing, {}, {"WATCHDOG=1"}}},
            {"2000000", self.c_str(), {readyAndPing, {}, {"WATCHDOG=1"}}},
            {"2000000", "1", {{readyAndPing[0]}, {}, {}}},
            {"2000000x", nullptr, {{readyAndPing[0]}, {}, {}}},
            {nullptr, nullptr, {{readyAndPing[0]}, {}, {}}},
        };
    for (const auto& [usec, pid, sent] : cases) {
        const std::string address = abstractAddress();
        Receiver manager(address);
        const NotifierPtr notifier = notifier_open(address.c_str(), usec, pid);
        ASSERT_NE(notifier, nullptr);
        const uint64_t turns[] = {1000, 1999, 2000};
        for (size_t i = 0; i < sent.size(); ++i) {
            notifier_turn(notifier.get(), turns[i]);
            EXPECT_EQ(manager.take(), sent[i]) << (usec ? usec : "-") << " turn " << turns[i];
        }
    }
}

}  // namespace
