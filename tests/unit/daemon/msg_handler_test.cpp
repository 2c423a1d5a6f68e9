// The component handler's reading of the stored switches, against the configuration-manager
// stand-in on a private bus.
#include "msg_handler.h"

#include <gtest/gtest.h>

#include <string>

#include "cfg_client.h"
#include "config_manager_fixture.h"
#include "log_capture.h"

namespace {

class StoredSwitchTest : public ConfigManagerFixture {};

// Missing, "0", "2", "on" and "" are off; "1" and " +1" are on. A missing key reads as
// "0" with the manager's own result, so start-up can say so.
TEST_F(StoredSwitchTest, OnlyOneIsOn) {
    const struct {
        const char* stored;  // null: the key does not exist
        int result;
        const char* text;
        bool on;
    } cases[] = {{nullptr, kCfgNotFound, "0", false}, {"0", 0, "0", false}, {"2", 0, "2", false},
                 {"on", 0, "on", false}, {"", 0, "", false}, {"1", 0, "1", true},
                 {" +1", 0, " +1", true}};
    for (const auto& c : cases) {
        const std::string label = c.stored != nullptr ? c.stored : "<missing>";
        if (c.stored != nullptr) {
            ASSERT_EQ(cfgSetConfig(conn_, kZebSwitchKey, c.stored), 0);
        }
        char text[kSwitchBufSize] = "stale";
        EXPECT_EQ(read_stored_switch(conn_, kZebSwitchKey, text), c.result) << label;
        EXPECT_STREQ(text, c.text) << label;
        EXPECT_EQ(switch_text_is_on(text), c.on) << label;
    }
}

// A manager that does not answer is neither on nor off: the caller retries.
TEST_F(StoredSwitchTest, AnAbsentManagerIsAFailureNotAMissingKey) {
    ASSERT_EQ(cfgSetConfig(conn_, kDpsSwitchKey, "1"), 0);
    bus_.stopLast(SIGTERM);
    char text[kSwitchBufSize] = "stale";
    const int ret = read_stored_switch(conn_, kDpsSwitchKey, text);
    EXPECT_NE(ret, 0);
    EXPECT_NE(ret, kCfgNotFound);
    EXPECT_STREQ(text, "");
}

TEST(SwitchInForceTest, UnknownUntilAppliedAndForUnknownKeys) {
    EXPECT_EQ(msg_handler_switch_in_force(kZebSwitchKey), -1);
    EXPECT_EQ(msg_handler_switch_in_force("gw_other_switch"), -1);
    EXPECT_EQ(msg_handler_switch_in_force(nullptr), -1);
    EXPECT_EQ(msg_handler_switch_zeb(nullptr, 1), -1);
    auto& log = LogCapture::begin();
    EXPECT_EQ(msg_handler_report_zeb_serialnum(nullptr), -1);
    EXPECT_NE(log.take().find("The params is NULL"), std::string::npos);
}

}  // namespace
