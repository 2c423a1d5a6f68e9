#include "dbus_message.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "log_capture.h"
#include "raii.h"

namespace {

// Only the bus's own word that the configuration manager has a new owner starts the
// re-subscription: not its departure, not another name, not a peer's imitation.
TEST(ConfigManagerWatchTest, OnlyANewOwnerOfTheConfigurationManagerCounts) {
    const struct {
        const char* sender;
        const char* member;
        const char* name;
        const char* newOwner;
        bool restart;
    } cases[] = {
        {DBUS_SERVICE_DBUS, "NameOwnerChanged", kConfigManagerName, ":1.7", true},
        {DBUS_SERVICE_DBUS, "NameOwnerChanged", kConfigManagerName, "", false},
        {DBUS_SERVICE_DBUS, "NameOwnerChanged", "iot.gateway.credential", ":1.7", false},
        {":1.3", "NameOwnerChanged", kConfigManagerName, ":1.7", false},
        {DBUS_SERVICE_DBUS, "NameLost", kConfigManagerName, ":1.7", false},
    };
    for (const auto& c : cases) {
        const DBusMessagePtr msg(dbus_message_new_signal(DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, c.member));
        const char* oldOwner = ":1.2";
        ASSERT_TRUE(msg && dbus_message_set_sender(msg.get(), c.sender) &&
                    dbus_message_append_args(msg.get(), DBUS_TYPE_STRING, &c.name, DBUS_TYPE_STRING,
                                             &oldOwner, DBUS_TYPE_STRING, &c.newOwner,
                                             DBUS_TYPE_INVALID));
        EXPECT_EQ(is_config_manager_restart(msg.get()), c.restart) << c.sender << " " << c.member
                                                                     << " " << c.name << " " << c.newOwner;
    }
}

// The handler only records SIGINT; the next pump turn stops without touching the bus (the
// context here has none), the main thread writes the line once, and a second SIGINT ends
// the process at once with status 0.
TEST(SigIntTest, FirstStopsThePumpSecondEndsTheProcess) {
    sig_int_handler(0);
    sig_int_handler(SIGTERM);
    EXPECT_EQ(exit_flag.load(), 0u);
    sig_int_handler(SIGINT);
    EXPECT_EQ(exit_flag.load(), kExitRequested);
    auto& log = LogCapture::begin();
    SERVICE_MONITOR_CTX_T ctx {};
    EXPECT_EQ(dbus_message_yield(&ctx, 1000), -1);
    report_caught_signal();
    const std::string logged = log.take();
    EXPECT_EQ(logged.find("Caught signal: Interrupt, exiting..."),
              logged.rfind("Caught signal: Interrupt, exiting..."));
    EXPECT_NE(logged.find("Caught signal: Interrupt, exiting..."), std::string::npos);
    EXPECT_EXIT(sig_int_handler(SIGINT), ::testing::ExitedWithCode(0), "");
}

}  // namespace
