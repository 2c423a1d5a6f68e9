// The configuration-manager client against the real service on a private bus.
#include "cfg_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/private_bus.h"

namespace {

using testbus::PrivateBus;
using testbus::Service;
using testbus::Subscriber;

// Collects what the logger writes to standard error while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return testbus::readFile(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

class CfgClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<Service>(bus_.address(), bus_.dir() + "/config.store",
                                             bus_.dir() + "/service.err");
        ASSERT_TRUE(service_->start()) << "service " << testbus::serviceBinary() << ": "
                                       << testbus::readFile(bus_.dir() + "/service.err");
        handle_ = openCfgPrivateConn(bus_.address().c_str());
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override { closeCfgPrivateConn(handle_); }

    PrivateBus bus_;
    std::unique_ptr<Service> service_;
    CFG_CONN_T* handle_ = nullptr;
};

TEST_F(CfgClientTest, GetCutsLongValuesAndKeepsTheBufferOnFailure) {
    const std::string value(100, 'v');
    ASSERT_EQ(cfgSetConfig(handle_, "long", value.c_str()), 0);
    ASSERT_EQ(cfgSetConfig(handle_, "fits", "123456789012345"), 0);

    char buf[16];
    memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(cfgGetConfig(handle_, "long", buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf), value.substr(0, 15));
    EXPECT_EQ(cfgGetConfig(handle_, "fits", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "123456789012345");
    char one = 'Z';
    EXPECT_EQ(cfgGetConfig(handle_, "long", &one, 1), 0);
    EXPECT_EQ(one, '\0');

    char before[16];
    memcpy(before, buf, sizeof buf);
    EXPECT_EQ(cfgGetConfig(handle_, "missing", buf, sizeof buf), 100100);
    EXPECT_EQ(memcmp(buf, before, sizeof buf), 0);

    service_->stop(SIGTERM);
    const int ret = cfgGetConfig(handle_, "fits", buf, sizeof buf);
    EXPECT_NE(ret, 0);
    EXPECT_NE(ret, 100100);  // an absent service is not an absent key
    EXPECT_EQ(memcmp(buf, before, sizeof buf), 0);
}

TEST_F(CfgClientTest, InvalidArgumentsAreLoggedAndNeverReachTheLibrary) {
    char buf[8] = "keep";
    StderrCapture capture(bus_.dir() + "/log");
    // The library answers invalid arguments with its own code, never -1.
    EXPECT_EQ(cfgSetConfig(nullptr, "k", "v"), -1);
    EXPECT_EQ(cfgSetConfig(handle_, nullptr, "v"), -1);
    EXPECT_EQ(cfgSetConfig(handle_, "k", nullptr), -1);
    EXPECT_EQ(cfgGetConfig(nullptr, "k", buf, sizeof buf), -1);
    EXPECT_EQ(cfgGetConfig(handle_, nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(cfgGetConfig(handle_, "k", nullptr, 8), -1);
    EXPECT_EQ(cfgGetConfig(handle_, "k", buf, 0), -1);
    EXPECT_EQ(cfgGetConfig(handle_, "k", buf, -5), -1);
    EXPECT_EQ(cfgSubscribeConfig(nullptr, 1, "k"), -1);
    EXPECT_EQ(cfgSubscribeConfig(handle_, 1, nullptr), -1);
    EXPECT_EQ(cfgUnsubscribeConfig(nullptr, "k"), -1);
    EXPECT_EQ(cfgUnsubscribeConfig(handle_, nullptr), -1);
    closeCfgPrivateConn(nullptr);
    EXPECT_EQ(openCfgPrivateConn(("unix:path=" + bus_.dir() + "/no-bus").c_str()), nullptr);
    const std::string log = capture.text();
    EXPECT_STREQ(buf, "keep");

    for (const char* fn : {"cfgSetConfig", "cfgGetConfig", "cfgSubscribeConfig",
                           "cfgUnsubscribeConfig"}) {
        EXPECT_NE(log.find(std::string(fn) + ": invalid input params"), std::string::npos) << fn;
    }
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("invalid input params", at)) != std::string::npos; ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 12u);
    EXPECT_NE(log.find("openCfgPrivateConn: dbus_connection_open_private fail."), std::string::npos)
        << log;
}

TEST_F(CfgClientTest, ConcurrentGetsEachGetTheirOwnValue) {
    ASSERT_EQ(cfgSetConfig(handle_, "first", "value of the first key"), 0);
    ASSERT_EQ(cfgSetConfig(handle_, "second", "2nd"), 0);
    std::atomic<int> wrong{0};
    auto reader = [&](const char* key, const char* expected) {
        for (int i = 0; i < 100; ++i) {
            char buf[64] = "";
            if (cfgGetConfig(handle_, key, buf, sizeof buf) != 0 || strcmp(buf, expected) != 0) {
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

TEST_F(CfgClientTest, SubscriptionsNotifyTheDaemonName) {
    // The daemon's part: answer notify_config after calling back on the same handle.
    Subscriber daemon(bus_.address(), "iot.dmp.service.monitor",
                      [this](const std::string& key, const std::string& value) {
                          if (key == "gw_zeb_switch") {
                              EXPECT_EQ(cfgSetConfig(handle_, "gw_zeb_serialNumber",
                                                     ("sn-" + value).c_str()), 0);
                          }
                      });
    ASSERT_EQ(cfgSubscribeConfig(handle_, 1, "gw_zeb_switch"), 0);
    ASSERT_EQ(cfgSubscribeConfig(handle_, 1, "gw_dps_switch"), 0);
    ASSERT_EQ(cfgSetConfig(handle_, "gw_zeb_switch", "1"), 0);
    ASSERT_TRUE(daemon.waitForValue("gw_zeb_switch", "1"));
    char buf[32] = "";
    EXPECT_EQ(cfgGetConfig(handle_, "gw_zeb_serialNumber", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "sn-1");

    ASSERT_EQ(cfgUnsubscribeConfig(handle_, "gw_zeb_switch"), 0);
    ASSERT_EQ(cfgSetConfig(handle_, "gw_zeb_switch", "0"), 0);
    ASSERT_EQ(cfgSetConfig(handle_, "gw_dps_switch", "1"), 0);
    ASSERT_TRUE(daemon.waitForValue("gw_dps_switch", "1"));
    const std::vector<Subscriber::Notice> expected = {{"gw_zeb_switch", "1"},
                                                      {"gw_dps_switch", "1"}};
    EXPECT_EQ(daemon.notices(), expected);
}

}  // namespace

// Nothing else reads the private connection: what arrives on it besides the answers (a
// late reply, a signal) must not pile up there.
TEST_F(CfgClientTest, StrayMessagesDoNotPileUpOnTheConnection) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* other = dbus_connection_open_private(bus_.address().c_str(), &error);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(dbus_bus_register(other, &error));
    const char* target = dbus_bus_get_unique_name(handle_->conn);
    for (int i = 0; i < 20; ++i) {
        DBusMessage* signal = dbus_message_new_signal("/stray", "test.Stray", "Noise");
        dbus_message_set_destination(signal, target);
        dbus_connection_send(other, signal, nullptr);
        dbus_message_unref(signal);
    }
    dbus_connection_flush(other);
    char buf[16];
    for (int i = 0; i < 3; ++i) (void)cfgGetConfig(handle_, "missing", buf, sizeof buf);
    const CfgCallLock lock(handle_);  // drops what the last call left queued
    EXPECT_EQ(dbus_connection_get_dispatch_status(handle_->conn), DBUS_DISPATCH_COMPLETE);
    dbus_connection_close(other);
    dbus_connection_unref(other);
}
