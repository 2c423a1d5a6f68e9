// The daemon's life cycle as far as it runs without a gateway bus.
#include "service_monitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "log_capture.h"

namespace {

// Start-up fails where the bus is missing and says so at each level it passes, in order;
// it holds nothing afterwards (the sanitizer tree's leak check sees to that).
TEST(ServiceMonitorTest, StartupWithoutABusFailsAndHoldsNothing) {
    if (access("/tmp/var/run/mbusd/mbusd_socket", F_OK) == 0) {
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
