// The configuration-manager client against the stand-in service on a private bus.
#include "cfg_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "config_manager_fixture.h"
#include "log_capture.h"
#include "private_bus.h"
#include "raii.h"

namespace {

class CfgClientTest : public ConfigManagerFixture {};

TEST_F(CfgClientTest, GetCutsLongValuesAndKeepsTheBufferOnFailure) {
    const std::string value(100, 'v');
    ASSERT_EQ(cfgSetConfig(conn_, "long", value.c_str()), 0);
    char buf[16];
    EXPECT_EQ(cfgGetConfig(conn_, "long", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), value.substr(0, 15));
    char one = 'Z';
    EXPECT_EQ(cfgGetConfig(conn_, "long", &one, 1), 0);
    EXPECT_EQ(one, '\0');

    char before[16];
    memcpy(before, buf, sizeof buf);
    EXPECT_EQ(cfgGetConfig(conn_, "missing", buf, sizeof buf), 100100);
    EXPECT_EQ(memcmp(buf, before, sizeof buf), 0);
    bus_.stopLast(SIGTERM);
    const int ret = cfgGetConfig(conn_, "long", buf, sizeof buf);
    EXPECT_NE(ret, 0);
    EXPECT_NE(ret, 100100);  // an absent service is not an absent key
    EXPECT_EQ(memcmp(buf, before, sizeof buf), 0);
}

TEST_F(CfgClientTest, InvalidArgumentsNeverReachTheLibrary) {
    auto& log = LogCapture::begin();
    char buf[8] = "keep";
    // The library answers invalid arguments with its own code, never -1.
    EXPECT_EQ(cfgSetConfig(conn_, "k", nullptr), -1);
    EXPECT_EQ(cfgGetConfig(conn_, "k", buf, 0), -1);
    EXPECT_EQ(cfgGetConfig(conn_, "k", buf, -5), -1);
    EXPECT_EQ(cfgSubscribeConfig(conn_, 1, nullptr), -1);
    EXPECT_STREQ(buf, "keep");
    EXPECT_NE(log.take().find("invalid input params"), std::string::npos);
    EXPECT_EQ(openCfgPrivateConn(("unix:path=" + bus_.dir() + "/no-bus").c_str()), nullptr);
}

TEST_F(CfgClientTest, ConcurrentGetsEachGetTheirOwnValue) {
    ASSERT_EQ(cfgSetConfig(conn_, "first", "value of the first key"), 0);
    ASSERT_EQ(cfgSetConfig(conn_, "second", "2nd"), 0);
    std::atomic<int> wrong{0};
    auto reader = [&](const char* key, const char* expected) {
        for (int i = 0; i < 100; ++i) {
            char buf[64] = "";
            if (cfgGetConfig(conn_, key, buf, sizeof buf) != 0 || strcmp(buf, expected) != 0) {
                ++wrong;
            }
        }
    };
    std::thread a(reader, "first", "value of the first key");
    std::thread b(reader, "second", "2nd");
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

// Once shutdown limits the calls, a manager that takes calls but never answers holds each
// only for what is left of the budget, then briefly: three calls end well before a single
// unlimited one would.
TEST_F(CfgClientTest, LimitedCallsEndWithinTheBudgetWhenTheManagerIsSilent) {
    ASSERT_EQ(bus_.stopLast(SIGTERM), 0);
    const DBusPrivateConnectionPtr silent(
        dbus_connection_open_private(bus_.address().c_str(), nullptr));
    ASSERT_NE(silent, nullptr);
    ASSERT_TRUE(dbus_bus_register(silent.get(), nullptr));
    ASSERT_EQ(dbus_bus_request_name(silent.get(), "iot.gateway.config", 0, nullptr),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    cfgLimitCalls(conn_, 500);
    char buf[8];
    const auto began = std::chrono::steady_clock::now();
    EXPECT_NE(cfgUnsubscribeConfig(conn_, "gw_zeb_switch"), 0);
    EXPECT_NE(cfgUnsubscribeConfig(conn_, "gw_dps_switch"), 0);
    EXPECT_NE(cfgGetConfig(conn_, "gw_zeb_switch", buf, sizeof buf), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(kCfgTimeoutMs));
}

// Nothing else reads the private connection: what arrives on it besides the answers (a
// late reply, a signal) must not pile up there.
TEST_F(CfgClientTest, StrayMessagesDoNotPileUpOnTheConnection) {
    const DBusPrivateConnectionPtr other(
        dbus_connection_open_private(bus_.address().c_str(), nullptr));
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(dbus_bus_register(other.get(), nullptr));
    const char* target = dbus_bus_get_unique_name(conn_->conn);
    for (int i = 0; i < 20; ++i) {
        const DBusMessagePtr signal(dbus_message_new_signal("/stray", "test.Stray", "Noise"));
        dbus_message_set_destination(signal.get(), target);
        dbus_connection_send(other.get(), signal.get(), nullptr);
    }
    dbus_connection_flush(other.get());
    char buf[16];
    for (int i = 0; i < 3; ++i) (void)cfgGetConfig(conn_, "missing", buf, sizeof buf);
    const CfgCallLock lock(conn_);  // drops what the last call left queued
    EXPECT_EQ(dbus_connection_get_dispatch_status(conn_->conn), DBUS_DISPATCH_COMPLETE);
}

}  // namespace
