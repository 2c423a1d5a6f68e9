// The daemon's life cycle as far as it runs without a gateway bus.
#include "service_monitor.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "log_capture.h"
#include "raii.h"

namespace {

// Whether something answers at the gateway bus address on this machine: a file left there
// by a bus that has gone does not count, the daemon fails to connect to it all the same.
bool gatewayBusListens() {
    const FileDescriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, "/tmp/var/run/mbusd/mbusd_socket", sizeof address.sun_path - 1);
    return fd.get() >= 0 &&
           connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Start-up fails where the bus is missing and says so at each level it passes, in order;
// it holds nothing afterwards (the sanitizer tree's leak check sees to that).
TEST(ServiceMonitorTest, StartupWithoutABusFailsAndHoldsNothing) {
    if (gatewayBusListens()) {
        GTEST_SKIP() << "a gateway bus listens on this machine";
    }
    auto& log = LogCapture::begin();
    const ServiceMonitorPtr ctx(service_monitor_init());
    EXPECT_EQ(ctx, nullptr);
    const std::string logged = log.take();
    size_t at = 0;
    for (const char* line : {"router connect dbus error!", "register dbus failed", "DBus init failed"}) {
        at = logged.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << "\n" << logged;
    }
}

TEST(ServiceMonitorTest, NoContextEndsTheLoopAndTearsDownNothing) {
    auto& log = LogCapture::begin();
    EXPECT_EQ(service_monitor_loop(nullptr, 0), -1);
    EXPECT_NE(log.take().find("The params is NULL"), std::string::npos);
    service_monitor_deinit(nullptr);
    EXPECT_EQ(log.take(), "");
}

}  // namespace
