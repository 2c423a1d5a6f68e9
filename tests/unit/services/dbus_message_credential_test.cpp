#include "dbus_message_credential.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common.h"
#include "log_capture.h"
#include "private_bus.h"

namespace {

std::string reply(const std::string& data, const std::string& code = "0") {
    return "{\"code\":" + code + ",\"data\":" + data + "}";
}

std::string data(const std::string& token, const std::string& id, const std::string& secret,
                 const std::string& durationMember = ",\"durationSeconds\":3600") {
    return "{\"securityToken\":\"" + token + "\",\"accessKeyId\":\"" + id +
           "\",\"accessKeySecret\":\"" + secret + "\"" + durationMember + "}";
}

class CredentialParseTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture::instance().take();
        memset(&dst_, 0, sizeof dst_);
        snprintf(dst_.accessKeyId, sizeof dst_.accessKeyId, "%s", "previous");
        before_ = dst_;
    }
    // The stored credential did not change and the log holds text.
    void expectRefused(const std::string& json, const std::string& text) {
        EXPECT_EQ(credential_msg_parse(&dst_, json.c_str()), -1) << json;
        EXPECT_EQ(memcmp(&dst_, &before_, sizeof dst_), 0) << json;
        const std::string logged = LogCapture::instance().take();
        EXPECT_NE(logged.find(text), std::string::npos) << json << "\n" << logged;
    }

    CREDENTIAL_MSG_T dst_ {};
    CREDENTIAL_MSG_T before_ {};
};

TEST_F(CredentialParseTest, StoresWithExpiry) {
    const uint64_t before = get_time_ms();
    ASSERT_EQ(credential_msg_parse(&dst_, reply(data("TOK", "AK", "SK")).c_str()), 0);
    EXPECT_STREQ(dst_.securityToken, "TOK");
    EXPECT_STREQ(dst_.accessKeyId, "AK");
    EXPECT_STREQ(dst_.accessKeySecret, "SK");
    EXPECT_GE(dst_.expireTimeMs, before + 3600000);
    EXPECT_LE(dst_.expireTimeMs, get_time_ms() + 3600000);
    EXPECT_NE(LogCapture::instance().take().find("store credential success!duration:3600.000000s"),
              std::string::npos);

    // Fractions count; member names match without regard to case; limits are inclusive.
    const std::string t575(575, 't'), k127(127, 'k');
    ASSERT_EQ(credential_msg_parse(&dst_, ("{\"CODE\":0,\"Data\":{\"securitytoken\":\"" + t575 +
                                           "\",\"ACCESSKEYID\":\"" + k127 +
                                           "\",\"accessKeySecret\":\"" + k127 +
                                           "\",\"durationSeconds\":0.5}}").c_str()),
              0);
    EXPECT_LE(dst_.expireTimeMs, get_time_ms() + 500);
    EXPECT_EQ(strlen(dst_.securityToken), 575u);
    EXPECT_EQ(strlen(dst_.accessKeyId), 127u);
}

TEST_F(CredentialParseTest, RefusesMalformedRepliesAndKeepsTheStoredOne) {
    const std::string t576(576, 't'), k128(128, 'k');
    expectRefused("not json", "Get json root failed: not json");
    expectRefused("{\"data\":{}}", "[Json Parse] Get code failed!");
    expectRefused("{\"code\":\"0\",\"data\":{}}",
                  "[Json Parse] Get code type error, should be cJSON_Number.");
    expectRefused(reply(data("t", "a", "s"), "500"), "get credential failed!response code:500");
    expectRefused(reply(data("t", "a", "s"), "-1"), "response code:4294967295");
    expectRefused("{\"code\":0}", "[Json Parse] Get data failed!");
    expectRefused(reply("\"data\""), "[Json Parse] Get data type error, should be cJSON_Object.");
    expectRefused(reply("{\"securityToken\":5}"),
                  "[Json Parse] Get securityToken type error, should be cJSON_String.");
    expectRefused(reply("{\"securityToken\":\"t\",\"accessKeyId\":\"a\"}"),
                  "[Json Parse] Get accessKeySecret failed!");
    expectRefused(reply(data("t", "a", "s", "")), "[Json Parse] Get durationSeconds failed!");
    expectRefused(reply(data("t", "a", "s", ",\"durationSeconds\":\"60\"")),
                  "[Json Parse] Get durationSeconds type error, should be cJSON_Number.");
    expectRefused(reply(data(t576, "a", "s")), "[Json Parse] securityToken is too long > 575.");
    expectRefused(reply(data("t", k128, "s")), "[Json Parse] accessKeyId is too long > 127.");
    expectRefused(reply(data("t", "a", k128)), "[Json Parse] accessKeySecret is too long > 127.");
    EXPECT_EQ(credential_msg_parse(nullptr, "{}"), -1);
    EXPECT_EQ(credential_msg_parse(&dst_, nullptr), -1);
}

TEST_F(CredentialParseTest, SetCredentialBounds) {
    const std::string k128(128, 'k'), t576(576, 't');
    EXPECT_EQ(set_credential_msg(&dst_, k128.c_str(), "s", "t", 1), -1);
    EXPECT_EQ(set_credential_msg(&dst_, "a", k128.c_str(), "t", 1), -1);
    EXPECT_EQ(set_credential_msg(&dst_, "a", "s", t576.c_str(), 1), -1);
    EXPECT_EQ(set_credential_msg(&dst_, "a", nullptr, "t", 1), -1);
    EXPECT_EQ(memcmp(&dst_, &before_, sizeof dst_), 0);

    // Durations outside the field's range are clamped, never undefined.
    ASSERT_EQ(set_credential_msg(&dst_, "a", "s", "t", 1e300), 0);
    EXPECT_EQ(dst_.expireTimeMs, std::numeric_limits<uint64_t>::max());
    ASSERT_EQ(set_credential_msg(&dst_, "a", "s", "t", -1e300), 0);
    EXPECT_EQ(dst_.expireTimeMs, 1u);
}

// Expired once the wall clock is past the expiry; a record never stored (0) is not.
TEST(CredentialExpiryTest, PastTheExpiryOnly) {
    const struct {
        uint64_t expireTimeMs;
        uint64_t nowMs;
        bool expired;
    } cases[] = {{0, 5000, false}, {5000, 4999, false}, {5000, 5000, false}, {5000, 5001, true}};
    for (const auto& c : cases) {
        CREDENTIAL_MSG_T credential {};
        credential.expireTimeMs = c.expireTimeMs;
        EXPECT_EQ(credential_expired(&credential, c.nowMs), c.expired)
            << c.expireTimeMs << " at " << c.nowMs;
    }
}

// ---- the bus call, against the credential stand-in on a private bus ----------------------

class CredentialBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeAll(bus_.dir() + "/credentials.json",
                 "{\"credentials\":[{\"accessKeyId\":\"AK1\",\"accessKeySecret\":\"SK1\","
                 "\"securityToken\":\"TOK1\"},{\"accessKeyId\":\"AK2\","
                 "\"accessKeySecret\":\"SK2\",\"securityToken\":\"TOK2\"}]}");
        ASSERT_TRUE(bus_.start(
            "iot.gateway.credential",
            {"/usr/bin/python3", "-u", SM_SOURCE_DIR "/sim/credential/credential_sim.py",
             "--address", bus_.address(), "--credentials", bus_.dir() + "/credentials.json",
             "--control", bus_.dir() + "/control.json", "--record", record()}))
            << readAll(bus_.dir() + "/iot.gateway.credential.log");
        conn_ = openCfgPrivateConn(bus_.address().c_str());
        ASSERT_NE(conn_, nullptr);
        ASSERT_EQ(credential_init(conn_), 0);
        LogCapture::begin();
    }
    void TearDown() override {
        credential_deinit();
        closeCfgPrivateConn(conn_);
    }
    std::string record() const { return bus_.dir() + "/calls.jsonl"; }
    void control(const std::string& json) { writeAll(bus_.dir() + "/control.json", json); }
    static std::string storedKeyId() {
        CREDENTIAL_MSG_T msg {};
        return credential_get_msg(&msg) == 0 ? msg.accessKeyId : "<none>";
    }

    testbus::PrivateBus bus_;
    CFG_CONN_T* conn_ = nullptr;
};

TEST_F(CredentialBusTest, RefreshStoresAndHandsOutACopy) {
    EXPECT_EQ(storedKeyId(), "<none>");
    EXPECT_EQ(LogCapture::instance().take(), "");  // nothing stored is not worth a line

    // The callback gets a copy; its failure does not undo the store.
    std::vector<CREDENTIAL_MSG_T> handed;
    const auto keep = [](const CREDENTIAL_MSG_T* c, void* out) noexcept {
        static_cast<std::vector<CREDENTIAL_MSG_T>*>(out)->push_back(*c);
        return -1;
    };
    EXPECT_EQ(refresh_credential(keep, &handed), 0);
    ASSERT_EQ(handed.size(), 1U);
    EXPECT_STREQ(handed[0].securityToken, "TOK1");
    CREDENTIAL_MSG_T msg {};
    ASSERT_EQ(credential_get_msg(&msg), 0);
    EXPECT_STREQ(msg.accessKeySecret, "SK1");
    EXPECT_EQ(msg.expireTimeMs, handed[0].expireTimeMs);
    EXPECT_NE(readAll(record()).find("\"arg\": \"\""), std::string::npos);

    // The next call issues the next credential; the whole record is replaced.
    EXPECT_EQ(refresh_credential(nullptr, nullptr), 0);
    ASSERT_EQ(credential_get_msg(&msg), 0);
    EXPECT_STREQ(msg.accessKeyId, "AK2");
    EXPECT_STREQ(msg.securityToken, "TOK2");
}

TEST_F(CredentialBusTest, FailedRefreshesKeepThePreviousCredential) {
    ASSERT_EQ(refresh_credential(nullptr, nullptr), 0);
    const struct {
        const char* control;
        const char* logged;
    } cases[] = {
        {"{\"mode\":\"code\",\"code\":500}", "response code:500"},
        // Slower than the call's 3000 ms: a bus error, not a hang.
        {"{\"mode\":\"slow\",\"delay_ms\":4000}", "DBus error:"},
        {"{\"mode\":\"absent\"}", "DBus error:"},
    };
    for (const auto& c : cases) {
        control(c.control);
        if (strstr(c.control, "absent") != nullptr) {
            ASSERT_TRUE(testbus::eventually(
                [&] { return readAll(record()).find("name-released") != std::string::npos; }));
        }
        LogCapture::begin();
        EXPECT_EQ(refresh_credential(nullptr, nullptr), -1) << c.control;
        EXPECT_NE(LogCapture::instance().take().find(c.logged), std::string::npos) << c.control;
        EXPECT_EQ(storedKeyId(), "AK1") << c.control;
    }
}

// After teardown the borrowed connection is no longer used.
TEST_F(CredentialBusTest, NoCallAfterTeardown) {
    EXPECT_EQ(credential_init(nullptr), -1);
    credential_deinit();
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    EXPECT_EQ(readAll(record()).find("\"event\": \"call\""), std::string::npos);
}

}  // namespace
