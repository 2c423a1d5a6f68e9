// The method and switch tables behind the bus methods, and the switch handlers' reading of
// a value text. The DPS switch stands for both: its action never fails and needs no peer.
#include "dbus_message_method.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "msg_handler.h"

namespace {

// The DPS scripts these tests would start, recorded instead of run.
std::vector<std::string> g_dpsRuns;
int recordDpsRun(const char*, const char* cmd) {
    g_dpsRuns.emplace_back(cmd);
    return 0;
}

class SwitchHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_dpsRuns.clear();
        set_dps_runner(recordDpsRun);
    }
    void TearDown() override { set_dps_runner(nullptr); }
};

TEST(MethodTableTest, FourRowsInOrderWithTheirHandlers) {
    const struct {
        const char* member;
        METHOD_HANDLER_T handler;
    } rows[] = {
        {"Introspect", service_monitor_module_introspect},
        {"notify_config", service_monitor_module_notify_config},
        {"getSelfDescribing", service_monitor_module_get_self_describing},
        {"PostMetricData", service_monitor_module_post_metric_data},
    };
    ASSERT_EQ(get_method_count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(get_method_table()[i].member, rows[i].member);
        EXPECT_EQ(get_method_table()[i].handler, rows[i].handler) << rows[i].member;
    }
    EXPECT_EQ(strlen(kIntrospectXml), 612u);
}

// Keys match exactly: no other case, no leading part, no trailing blank. Only the
// monitoring switch publishes the serial number afterwards.
TEST(SwitchTableTest, ExactKeysAndTheirHandlers) {
    const CONFIG_SWITCH_ENTRY_T* zeb = find_config_switch("gw_zeb_switch");
    ASSERT_NE(zeb, nullptr);
    EXPECT_EQ(zeb->handler, switch_zeb);
    EXPECT_EQ(zeb->after, switch_zeb_after);
    const CONFIG_SWITCH_ENTRY_T* dps = find_config_switch("gw_dps_switch");
    ASSERT_NE(dps, nullptr);
    EXPECT_EQ(dps->handler, switch_dps);
    EXPECT_EQ(dps->after, nullptr);
    for (const char* key : {"GW_DPS_SWITCH", "gw_dps", "gw_dps_switch ", "", "gw_unknown_switch"}) {
        EXPECT_EQ(find_config_switch(key), nullptr) << "'" << key << "'";
    }
}

// The value text is read as atoi reads it; only 1 switches on and starts DPS.
TEST_F(SwitchHandlerTest, ValueTextsAsAtoiReadsThem) {
    SERVICE_MONITOR_CTX_T ctx {};
    const struct {
        const char* text;
        int number;
    } cases[] = {{"1", 1}, {" +1", 1}, {"0", 0}, {"off", 0}, {"on", 0}, {"2", 2}, {"-1", -1},
                 {"", 0}, {"1x", 1}};
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        EXPECT_EQ(switch_dps(&ctx, c.text), 0) << c.text;
        EXPECT_NE(log.take().find("switch dps success! value = " + std::to_string(c.number) + "\n"),
                  std::string::npos)
            << c.text;
        EXPECT_EQ(msg_handler_switch_in_force("gw_dps_switch"), c.number == 1 ? 1 : 0) << c.text;
        EXPECT_EQ(g_dpsRuns, std::vector<std::string>{c.number == 1 ? "startDPS.sh" : "stopDPS.sh"})
            << c.text;
        g_dpsRuns.clear();
    }
}

// After a configuration-manager restart a stored value is applied only when it differs
// from the switch in force, and then as notify_config would apply it.
TEST_F(SwitchHandlerTest, StoredValueAppliedOnlyWhenItDiffersFromTheOneInForce) {
    SERVICE_MONITOR_CTX_T ctx {};
    ASSERT_EQ(switch_dps(&ctx, "1"), 0);
    const struct {
        const char* text;
        bool applied;
        int inForce;
    } cases[] = {{"1", false, 1}, {" +1", false, 1}, {"0", true, 0}, {"2", false, 0},
                 {"off", false, 0}, {"1", true, 1}};
    for (const auto& c : cases) {
        auto& log = LogCapture::begin();
        apply_stored_switch(&ctx, "gw_dps_switch", c.text);
        const std::string logged = log.take();
        EXPECT_EQ(logged.find("config(gw_dps_switch) changed to " + std::string(c.text) +
                              " while not notified") != std::string::npos,
                  c.applied)
            << c.text << "\n" << logged;
        EXPECT_EQ(logged.find("switch dps success!") != std::string::npos, c.applied) << c.text;
        EXPECT_EQ(msg_handler_switch_in_force("gw_dps_switch"), c.inForce) << c.text;
    }
    auto& log = LogCapture::begin();
    apply_stored_switch(&ctx, "gw_other_switch", "1");
    EXPECT_EQ(log.take(), "");
}

// The serial number is published only after a switch that succeeded, on or off.
TEST_F(SwitchHandlerTest, AfterHandlerSkipsAFailedSwitchAndRefusesNoContext) {
    SERVICE_MONITOR_CTX_T ctx {};
    auto& log = LogCapture::begin();
    EXPECT_EQ(switch_zeb_after(&ctx, -1, "gw_zeb_switch", "1"), 0);
    EXPECT_EQ(log.take(), "");
    EXPECT_EQ(switch_zeb_after(nullptr, 0, "gw_zeb_switch", "1"), -1);
    EXPECT_NE(log.take().find("The params is NULL"), std::string::npos);
}

}  // namespace
