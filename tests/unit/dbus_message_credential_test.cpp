#include "dbus_message_credential.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "file_text.h"
#include "log_capture.h"
#include "logger.h"

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
    const uint64_t after = get_time_ms();
    EXPECT_STREQ(dst_.securityToken, "TOK");
    EXPECT_STREQ(dst_.accessKeyId, "AK");
    EXPECT_STREQ(dst_.accessKeySecret, "SK");
    EXPECT_GE(dst_.expireTimeMs, before + 3600000);
    EXPECT_LE(dst_.expireTimeMs, after + 3600000);
    const std::string logged = LogCapture::instance().take();
    EXPECT_NE(logged.find(" INFO "), std::string::npos);
    EXPECT_NE(logged.find("store credential success!duration:3600.000000s"), std::string::npos);

    // Fractions count; member names match without regard to case.
    ASSERT_EQ(credential_msg_parse(&dst_, "{\"CODE\":0,\"Data\":{\"securitytoken\":\"\","
                                          "\"ACCESSKEYID\":\"a\",\"accessKeySecret\":\"s\","
                                          "\"durationSeconds\":0.5}}"),
              0);
    EXPECT_LE(dst_.expireTimeMs, get_time_ms() + 500);
}

TEST_F(CredentialParseTest, RefusesMalformedReplies) {
    expectRefused("not json", "Get json root failed: not json");
    expectRefused("{\"data\":{}}", "[Json Parse] Get code failed!");
    expectRefused("{\"code\":\"0\",\"data\":{}}",
                  "[Json Parse] Get code type error, should be cJSON_Number.");
    expectRefused(reply("{}"), "[Json Parse] Get securityToken failed!");
    expectRefused("{\"code\":0}", "[Json Parse] Get data failed!");
    expectRefused(reply("\"data\""), "[Json Parse] Get data type error, should be cJSON_Object.");
    expectRefused(reply("{\"securityToken\":5}"),
                  "[Json Parse] Get securityToken type error, should be cJSON_String.");
    expectRefused(reply("{\"securityToken\":\"t\",\"accessKeyId\":\"a\"}"),
                  "[Json Parse] Get accessKeySecret failed!");
    expectRefused(reply(data("t", "a", "s", "")), "[Json Parse] Get durationSeconds failed!");
    expectRefused(reply(data("t", "a", "s", ",\"durationSeconds\":\"60\"")),
                  "[Json Parse] Get durationSeconds type error, should be cJSON_Number.");
    EXPECT_EQ(credential_msg_parse(nullptr, "{}"), -1);
    EXPECT_EQ(credential_msg_parse(&dst_, nullptr), -1);
    EXPECT_NE(LogCapture::instance().take().find("invalid params"), std::string::npos);
}

TEST_F(CredentialParseTest, NonZeroCodeIsAFailureAtLevelTwo) {
    expectRefused(reply(data("t", "a", "s"), "500"), "get credential failed!response code:500");
    // Logged as an unsigned 32-bit number.
    expectRefused(reply(data("t", "a", "s"), "-1"), "response code:4294967295");
    EXPECT_EQ(credential_msg_parse(&dst_, reply(data("t", "a", "s"), "500").c_str()), -1);
    const std::string logged = LogCapture::instance().take();
    EXPECT_NE(logged.find(" FAIL "), std::string::npos);
    EXPECT_EQ(logged.find(" ERROR "), std::string::npos);
}

TEST_F(CredentialParseTest, FieldLengthLimits) {
    const std::string t575(575, 't'), t576(576, 't'), k127(127, 'k'), k128(128, 'k');
    ASSERT_EQ(credential_msg_parse(&dst_, reply(data(t575, k127, k127)).c_str()), 0);
    EXPECT_EQ(strlen(dst_.securityToken), 575u);
    EXPECT_EQ(strlen(dst_.accessKeyId), 127u);
    EXPECT_EQ(strlen(dst_.accessKeySecret), 127u);
    before_ = dst_;
    expectRefused(reply(data(t576, "a", "s")), "[Json Parse] securityToken is too long > 575.");
    expectRefused(reply(data("t", k128, "s")), "[Json Parse] accessKeyId is too long > 127.");
    expectRefused(reply(data("t", "a", k128)), "[Json Parse] accessKeySecret is too long > 127.");
}

TEST_F(CredentialParseTest, SetCredentialBounds) {
    const std::string k128(128, 'k'), t576(576, 't');
    EXPECT_EQ(set_credential_msg(&dst_, k128.c_str(), "s", "t", 1), -1);
    EXPECT_EQ(set_credential_msg(&dst_, "a", k128.c_str(), "t", 1), -1);
    EXPECT_EQ(set_credential_msg(&dst_, "a", "s", t576.c_str(), 1), -1);
    EXPECT_EQ(set_credential_msg(&dst_, "a", nullptr, "t", 1), -1);
    const std::string logged = LogCapture::instance().take();
    EXPECT_NE(logged.find("ak over buffer:127"), std::string::npos);
    EXPECT_NE(logged.find("as over buffer:127"), std::string::npos);
    EXPECT_NE(logged.find("token over buffer:575"), std::string::npos);
    EXPECT_NE(logged.find("invalid input params"), std::string::npos);
    EXPECT_EQ(memcmp(&dst_, &before_, sizeof dst_), 0);

    // Durations outside the field's range are clamped, never undefined.
    ASSERT_EQ(set_credential_msg(&dst_, "a", "s", "t", 1e300), 0);
    EXPECT_EQ(dst_.expireTimeMs, std::numeric_limits<uint64_t>::max());
    ASSERT_EQ(set_credential_msg(&dst_, "a", "s", "t", -1e300), 0);
    EXPECT_EQ(dst_.expireTimeMs, 1u);
}

// ---- the bus call, against the credential stand-in on a private bus ----------------------

std::string sourceDir() {
    if (const char* env = getenv("SM_SOURCE_DIR")) return env;
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string build(exe, n > 0 ? static_cast<size_t>(n) : 0);
    build = build.substr(0, build.rfind('/'));
    build = build.substr(0, build.rfind('/'));
    std::istringstream cache(readAll(build + "/CMakeCache.txt"));
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    for (std::string line; std::getline(cache, line);) {
        if (line.rfind(key, 0) == 0) return line.substr(key.size());
    }
    return "";
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        FILE* out = fopen(outPath.c_str(), "w");
        if (out != nullptr) {
            dup2(fileno(out), STDOUT_FILENO);
            dup2(fileno(out), STDERR_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

template <typename Pred>
bool eventually(Pred pred, int timeoutMs = 10000) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return pred();
}

int g_callbackCalls = 0;
CREDENTIAL_MSG_T g_callbackCopy {};

int failingCallback(const CREDENTIAL_MSG_T* credential, void* clientData) {
    ++g_callbackCalls;
    g_callbackCopy = *credential;
    EXPECT_EQ(clientData, &g_callbackCalls);
    return -1;
}

class CredentialBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/credential_bus_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        address_ = "unix:path=" + dir_ + "/bus";
        writeAll(dir_ + "/bus.conf",
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type><listen>" + address_ + "</listen>"
                 "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                 "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                 "<allow receive_sender=\"*\"/></policy></busconfig>\n");
        writeAll(dir_ + "/credentials.json",
                 "{\"credentials\":[{\"accessKeyId\":\"AK1\",\"accessKeySecret\":\"SK1\","
                 "\"securityToken\":\"TOK1\"},{\"accessKeyId\":\"AK2\","
                 "\"accessKeySecret\":\"SK2\",\"securityToken\":\"TOK2\"}]}");
        bus_ = spawn({"/usr/bin/dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork",
                      "--print-address=1"},
                     dir_ + "/bus.log");
        ASSERT_TRUE(eventually([&] { return access((dir_ + "/bus").c_str(), F_OK) == 0; }));
        const std::string sim = sourceDir() + "/sim/credential/credential_sim.py";
        sim_ = spawn({"/usr/bin/python3", "-u", sim, "--address", address_, "--credentials",
                      dir_ + "/credentials.json", "--control", dir_ + "/control.json",
                      "--record", record()},
                     dir_ + "/sim.log");
        ASSERT_TRUE(eventually([&] { return readAll(record()).find("\"ready\"") != std::string::npos; }))
            << readAll(dir_ + "/sim.log");
        conn_ = openCfgPrivateConn(address_.c_str());
        ASSERT_NE(conn_, nullptr);
        ASSERT_EQ(credential_init(conn_), 0);
        LogCapture::instance().take();
    }
    void TearDown() override {
        credential_deinit();
        closeCfgPrivateConn(conn_);
        stop(sim_);
        stop(bus_);
        (void)!system(("rm -rf " + dir_).c_str());
    }
    std::string record() const { return dir_ + "/calls.jsonl"; }
    int calls() const {
        const std::string text = readAll(record());
        int count = 0;
        for (size_t at = text.find("\"event\": \"call\""); at != std::string::npos;
             at = text.find("\"event\": \"call\"", at + 1)) {
            ++count;
        }
        return count;
    }
    void control(const std::string& json) { writeAll(dir_ + "/control.json", json); }
    // A refused refresh keeps the stored credential (AK1).
    void expectKept() {
        CREDENTIAL_MSG_T msg {};
        ASSERT_EQ(credential_get_msg(&msg), 0);
        EXPECT_STREQ(msg.accessKeyId, "AK1");
    }

    std::string dir_, address_;
    pid_t bus_ = -1, sim_ = -1;
    CFG_CONN_T* conn_ = nullptr;
};

TEST_F(CredentialBusTest, RefreshStoresAndHandsOutACopy) {
    CREDENTIAL_MSG_T msg {};
    EXPECT_EQ(credential_get_msg(&msg), -1);  // nothing stored yet, and nothing logged
    EXPECT_EQ(LogCapture::instance().take(), "");

    g_callbackCalls = 0;
    EXPECT_EQ(refresh_credential(failingCallback, &g_callbackCalls), 0);
    EXPECT_EQ(g_callbackCalls, 1);
    EXPECT_STREQ(g_callbackCopy.accessKeyId, "AK1");
    EXPECT_STREQ(g_callbackCopy.securityToken, "TOK1");
    ASSERT_EQ(credential_get_msg(&msg), 0);
    EXPECT_STREQ(msg.accessKeySecret, "SK1");
    EXPECT_EQ(msg.expireTimeMs, g_callbackCopy.expireTimeMs);
    EXPECT_EQ(calls(), 1);
    EXPECT_NE(readAll(record()).find("\"arg\": \"\""), std::string::npos);

    // The next call issues the next credential; the whole record is replaced.
    EXPECT_EQ(refresh_credential(nullptr, nullptr), 0);
    ASSERT_EQ(credential_get_msg(&msg), 0);
    EXPECT_STREQ(msg.accessKeyId, "AK2");
    EXPECT_STREQ(msg.securityToken, "TOK2");
}

TEST_F(CredentialBusTest, FailedRefreshesKeepThePreviousCredential) {
    ASSERT_EQ(refresh_credential(nullptr, nullptr), 0);
    LogCapture::instance().take();

    control("{\"mode\":\"code\",\"code\":500}");
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    EXPECT_NE(LogCapture::instance().take().find("response code:500"), std::string::npos);
    expectKept();

    control("{\"mode\":\"text\",\"text\":\"<html>\"}");
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    EXPECT_NE(LogCapture::instance().take().find("Get json root failed: <html>"), std::string::npos);
    control("{\"mode\":\"too-long\"}");
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    control("{\"mode\":\"missing\"}");
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    expectKept();

    // Slower than the call's 3000 ms: a bus error, not a hang.
    control("{\"mode\":\"slow\",\"delay_ms\":4000}");
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    EXPECT_NE(LogCapture::instance().take().find("DBus error:"), std::string::npos);
    expectKept();

    control("{\"mode\":\"absent\"}");
    ASSERT_TRUE(eventually([&] { return readAll(record()).find("name-released") != std::string::npos; }));
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    const std::string logged = LogCapture::instance().take();
    EXPECT_NE(logged.find(" FAIL "), std::string::npos);
    EXPECT_NE(logged.find("DBus error:"), std::string::npos);
    expectKept();
}

TEST_F(CredentialBusTest, InvalidArguments) {
    EXPECT_EQ(credential_init(nullptr), -1);
    EXPECT_EQ(update_credential(nullptr), -1);
    EXPECT_EQ(credential_get_msg(nullptr), -1);
    const std::string logged = LogCapture::instance().take();
    EXPECT_NE(logged.find("input params is NULL"), std::string::npos);
    EXPECT_NE(logged.find("invalid input params"), std::string::npos);
    // After teardown the borrowed connection is no longer used.
    credential_deinit();
    EXPECT_EQ(refresh_credential(nullptr, nullptr), -1);
    EXPECT_EQ(calls(), 0);
}

}  // namespace
