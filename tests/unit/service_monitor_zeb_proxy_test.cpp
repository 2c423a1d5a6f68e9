#include "service_monitor_zeb_proxy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "file_text.h"
#include "log_capture.h"
#include "logger.h"

namespace {

int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

AGENT_SECRET_T keys(const char* access, const char* secret) {
    AGENT_SECRET_T k {};
    snprintf(k.accessKey, sizeof k.accessKey, "%s", access);
    snprintf(k.secretKey, sizeof k.secretKey, "%s", secret);
    return k;
}

class PropertyFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zeb_proxy_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        dir_ = root_ + "/a/b";
        serial_ = dir_ + "/serial_number.properties";
        secret_ = dir_ + "/accesskey.properties";
        LogCapture::instance();
    }
    void TearDown() override { (void)!system(("rm -rf " + root_).c_str()); }
    static std::string logs() { return LogCapture::instance().take(); }

    std::string root_, dir_, serial_, secret_;
};

TEST_F(PropertyFileTest, SerialNumberWrittenWholeAndReadBack) {
    ASSERT_EQ(zeb_proxy_files::write_serialnum(dir_.c_str(), serial_.c_str(), "SN-0001"), 0);
    EXPECT_EQ(readAll(serial_), "zeb.agent.serialNumber=SN-0001\n");
    ASSERT_EQ(zeb_proxy_files::write_serialnum(dir_.c_str(), serial_.c_str(), "B"), 0);
    EXPECT_EQ(readAll(serial_), "zeb.agent.serialNumber=B\n");  // truncated, not appended
    char buf[32] = {};
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "B");

    // The line is formatted into 128 bytes: a long serial is cut after 127.
    const std::string longSerial(200, 'x');
    ASSERT_EQ(zeb_proxy_files::write_serialnum(dir_.c_str(), serial_.c_str(), longSerial.c_str()), 0);
    EXPECT_EQ(readAll(serial_).size(), 127u);
    // A line break would let the value start a property line of its own.
    EXPECT_EQ(zeb_proxy_files::write_serialnum(dir_.c_str(), serial_.c_str(), "A\nB=C"), -1);
    EXPECT_EQ(zeb_proxy_files::write_serialnum(dir_.c_str(), serial_.c_str(), nullptr), -1);
    EXPECT_NE(logs().find("ERROR"), std::string::npos);
}

TEST_F(PropertyFileTest, SerialNumberParsing) {
    ASSERT_EQ(mk_deeppath(dir_.c_str()), 0);
    char buf[64] = {};
    writeAll(serial_, "zeb.agent.serialNumber  =   SN-42  \n");
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "SN-42");

    // Lines without the key are reported one by one; a later line still counts.
    logs();
    writeAll(serial_, "# agent\nother=1\nzeb.agent.serialNumber=LATE\n");
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "LATE");
    EXPECT_EQ(countOf(logs(), "no serial number was found in the " + serial_), 2);

    // Key without a value; a file without the key; an empty file.
    writeAll(serial_, "zeb.agent.serialNumber=\n");
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, sizeof buf), -1);
    EXPECT_NE(logs().find("parse zeb.agent.serialNumber="), std::string::npos);
    writeAll(serial_, "something=else\n");
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, sizeof buf), -1);
    writeAll(serial_, "");
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, sizeof buf), -1);
}

TEST_F(PropertyFileTest, SerialNumberBufferBounds) {
    ASSERT_EQ(zeb_proxy_files::write_serialnum(dir_.c_str(), serial_.c_str(), "ABC"), 0);
    logs();
    char buf[8] = "keep";
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, 3), -1);
    const std::string text = logs();
    EXPECT_NE(text.find("ERROR"), std::string::npos);
    EXPECT_NE(text.find("input buffer is short, need 4 bytes(3)"), std::string::npos);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(zeb_proxy_files::read_serialnum(serial_.c_str(), buf, 4), 0);
    EXPECT_STREQ(buf, "ABC");

    const std::string missing = root_ + "/none";
    EXPECT_EQ(zeb_proxy_files::read_serialnum(missing.c_str(), buf, sizeof buf), -1);
    EXPECT_NE(logs().find("FAIL"), std::string::npos);
}

TEST_F(PropertyFileTest, SecretFileIsPrivateAndCanonical) {
    const AGENT_SECRET_T k = keys("AK123", "SK456");
    const mode_t old = umask(0);  // even a permissive umask must not widen the mode
    ASSERT_EQ(zeb_proxy_files::write_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    umask(old);
    EXPECT_EQ(modeOf(secret_), 0600u);
    EXPECT_EQ(readAll(secret_), "zeb.agent.accesskey=AK123\nzeb.agent.secretkey=SK456\n");

    // Replacing a file that was readable by others closes it up too.
    ASSERT_EQ(chmod(secret_.c_str(), 0644), 0);
    const AGENT_SECRET_T other = keys("AK2", "SK2");
    ASSERT_EQ(zeb_proxy_files::write_secret(dir_.c_str(), secret_.c_str(), &other), 0);
    EXPECT_EQ(modeOf(secret_), 0600u);

    AGENT_SECRET_T read {};
    EXPECT_EQ(zeb_proxy_files::read_secret(secret_.c_str(), &read), 0);
    EXPECT_STREQ(read.accessKey, "AK2");
    EXPECT_STREQ(read.secretKey, "SK2");

    const AGENT_SECRET_T empty = keys("", "SK");
    const AGENT_SECRET_T broken = keys("AK\nzeb.agent.secretkey=X", "SK");
    logs();
    EXPECT_EQ(zeb_proxy_files::write_secret(dir_.c_str(), secret_.c_str(), &empty), -1);
    EXPECT_EQ(zeb_proxy_files::sync_secret(dir_.c_str(), secret_.c_str(), &broken), -1);
    EXPECT_EQ(zeb_proxy_files::sync_secret(dir_.c_str(), secret_.c_str(), nullptr), -1);
    EXPECT_EQ(countOf(logs(), "invalid input"), 3);
    EXPECT_EQ(readAll(secret_), "zeb.agent.accesskey=AK2\nzeb.agent.secretkey=SK2\n");
}

TEST_F(PropertyFileTest, SyncComparesBeforeWriting) {
    const AGENT_SECRET_T k = keys("AK", "SK");
    ASSERT_EQ(zeb_proxy_files::sync_secret(dir_.c_str(), secret_.c_str(), &k), 0);  // no file yet
    // Move the modification time into the past so that any rewrite would show.
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, secret_.c_str(), past, 0), 0);
    ASSERT_EQ(chmod(secret_.c_str(), 0640), 0);
    logs();
    EXPECT_EQ(zeb_proxy_files::sync_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    EXPECT_NE(logs().find("agent key not changed and does not need to be updated"),
              std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(secret_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const AGENT_SECRET_T changed = keys("AK", "SK-new");
    EXPECT_EQ(zeb_proxy_files::sync_secret(dir_.c_str(), secret_.c_str(), &changed), 0);
    EXPECT_EQ(readAll(secret_), "zeb.agent.accesskey=AK\nzeb.agent.secretkey=SK-new\n");
}

TEST_F(PropertyFileTest, SecretLineOrderMatters) {
    ASSERT_EQ(mk_deeppath(dir_.c_str()), 0);
    writeAll(secret_, "zeb.agent.secretkey = SK\nzeb.agent.accesskey = AK\n");
    AGENT_SECRET_T read {};
    EXPECT_EQ(zeb_proxy_files::read_secret(secret_.c_str(), &read), -1);
    EXPECT_STREQ(read.accessKey, "AK");
    EXPECT_STREQ(read.secretKey, "");

    const AGENT_SECRET_T k = keys("AK", "SK");
    logs();
    EXPECT_EQ(zeb_proxy_files::sync_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    EXPECT_EQ(logs().find("not changed"), std::string::npos);
    EXPECT_EQ(readAll(secret_), "zeb.agent.accesskey=AK\nzeb.agent.secretkey=SK\n");

    // Values keep at most 63 characters.
    writeAll(secret_, "zeb.agent.accesskey=" + std::string(80, 'a') + "\nzeb.agent.secretkey=s\n");
    EXPECT_EQ(zeb_proxy_files::read_secret(secret_.c_str(), &read), 0);
    EXPECT_EQ(strlen(read.accessKey), 63u);
}

TEST_F(PropertyFileTest, RemoveSecretFile) {
    logs();
    EXPECT_EQ(zeb_proxy_files::remove_secret(secret_.c_str()), -1);
    EXPECT_NE(logs().find("delete " + secret_ + " failed:No such file or directory"),
              std::string::npos);
    const AGENT_SECRET_T k = keys("AK", "SK");
    ASSERT_EQ(zeb_proxy_files::write_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    EXPECT_EQ(zeb_proxy_files::remove_secret(secret_.c_str()), 0);
    EXPECT_NE(logs().find("delete " + secret_ + " success"), std::string::npos);
    EXPECT_NE(access(secret_.c_str(), F_OK), 0);
}

// ---- supervision, at the agent's real path inside the gateway sandbox ---------------------

constexpr const char* kAgentPath = "/harbex/gateway/build/bin/vestrel/ZebGoAgent.linux";
constexpr const char* kRecord = "/tmp/agent-sim/record.jsonl";
constexpr const char* kModeFile = "/tmp/agent-sim/mode";

std::string selfExe() {
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
}

std::string buildDir() {
    std::string dir = selfExe();
    dir = dir.substr(0, dir.rfind('/'));   // <build>/tests
    return dir.substr(0, dir.rfind('/'));  // <build>
}

std::string sourceDir() {
    if (const char* env = getenv("SM_SOURCE_DIR")) return env;
    std::istringstream cache(readAll(buildDir() + "/CMakeCache.txt"));
    const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    for (std::string line; std::getline(cache, line);) {
        if (line.rfind(key, 0) == 0) return line.substr(key.size());
    }
    return "";
}

// Runs this one test again in the sandbox; its exit status, 77 when it cannot be made.
int runInSandbox() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const std::string sandbox = sourceDir() + "/scripts/sandbox";
    const std::string build = buildDir();
    const std::string exe = selfExe();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("SM_BUILD_DIR", build.c_str(), 1);
        execl(sandbox.c_str(), sandbox.c_str(), exe.c_str(), filter.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SupervisionTest : public ::testing::Test {
protected:
    // Outside the sandbox the body is not run here but in a sandboxed copy of this test.
    bool delegated() {
        if (getenv("SM_IN_SANDBOX") != nullptr) return false;
        const std::string sim = buildDir() + "/sim/agent/zeb_agent_sim";
        if (access(sim.c_str(), X_OK) != 0) {
            skipReason_ = "agent stand-in not built: " + sim;
        } else {
            const int rc = runInSandbox();
            if (rc == 77) skipReason_ = "the gateway sandbox needs root and namespaces";
            EXPECT_TRUE(rc == 0 || rc == 77) << "sandboxed run ended with " << rc;
        }
        return true;
    }

    void install(const char* mode) {
        ASSERT_EQ(mk_deeppath("/harbex/gateway/build/bin/vestrel"), 0);
        ASSERT_EQ(mk_deeppath("/tmp/agent-sim"), 0);
        const std::string sim = buildDir() + "/sim/agent/zeb_agent_sim";
        ASSERT_EQ(system(("cp " + sim + " " + kAgentPath).c_str()), 0);
        setMode(mode);
        setenv("AGENT_SIM_RECORD", kRecord, 1);
        setenv("AGENT_SIM_MODE", kModeFile, 1);
        LogCapture::instance();
    }
    static void setMode(const char* mode) { writeAll(kModeFile, mode); }
    static int starts() { return countOf(readAll(kRecord), "\"event\": \"start\""); }

    // Waits up to timeoutMs for pred; the result of its last evaluation.
    template <typename Pred>
    static bool eventually(Pred pred, int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs; waited += 50) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return pred();
    }

    std::string skipReason_;
};

#define SUPERVISE_IN_SANDBOX()                                \
    do {                                                      \
        if (delegated()) {                                    \
            if (!skipReason_.empty()) GTEST_SKIP() << skipReason_; \
            return;                                           \
        }                                                     \
    } while (0)

TEST_F(SupervisionTest, StartStopAndStrayAgent) {
    SUPERVISE_IN_SANDBOX();
    install("normal");
    // A stray agent from an earlier run, with the agent's name as its first argument.
    const pid_t stray = fork();
    if (stray == 0) {
        execl(kAgentPath, "ZebGoAgent.linux", nullptr);
        _exit(127);
    }
    ASSERT_TRUE(eventually([] { return starts() == 1; }));
    LogCapture::instance().take();
    ASSERT_EQ(zeb_proxy_init(), 0);
    EXPECT_NE(LogCapture::instance().take().find("ZebGoAgent.linux(" + std::to_string(stray) +
                                                  ") already running, kill it"),
              std::string::npos);
    int status = 0;
    ASSERT_EQ(waitpid(stray, &status, 0), stray);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(find_pid_by_name("ZebGoAgent.linux"), -1);  // init itself starts nothing

    EXPECT_EQ(zeb_proxy_start(), 0);
    EXPECT_EQ(zeb_proxy_start(), 0);  // the running agent is kept
    EXPECT_EQ(starts(), 2);
    const std::string record = readAll(kRecord);
    EXPECT_NE(record.find("\"argv0\": \"ZebGoAgent.linux\""), std::string::npos);

    EXPECT_EQ(zeb_proxy_stop(), 0);
    EXPECT_EQ(find_pid_by_name("ZebGoAgent.linux"), -1);
    EXPECT_TRUE(eventually([] {
        return LogCapture::instance().take().find(std::string(kAgentPath) + " exits,status:15") !=
               std::string::npos;
    }));
    EXPECT_EQ(zeb_proxy_deinit(), 0);
    EXPECT_NE(LogCapture::instance().take().find("zeb proxy thread exit"), std::string::npos);
    EXPECT_EQ(starts(), 2);
}

TEST_F(SupervisionTest, AgentKilledFromOutsideIsRestarted) {
    SUPERVISE_IN_SANDBOX();
    install("normal");
    ASSERT_EQ(zeb_proxy_init(), 0);
    ASSERT_EQ(zeb_proxy_start(), 0);
    const pid_t first = find_pid_by_name("ZebGoAgent.linux");
    ASSERT_GT(first, 0);
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_TRUE(eventually([] { return starts() == 2; }));
    const pid_t second = find_pid_by_name("ZebGoAgent.linux");
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_NE(LogCapture::instance().take().find(std::string(kAgentPath) + " exits,status:9"),
              std::string::npos);
    EXPECT_EQ(zeb_proxy_deinit(), 0);
    EXPECT_EQ(find_pid_by_name("ZebGoAgent.linux"), -1);
}

TEST_F(SupervisionTest, FailingAgentIsRestartedWithGrowingPauses) {
    SUPERVISE_IN_SANDBOX();
    install("exit");
    ASSERT_EQ(zeb_proxy_init(), 0);
    (void)zeb_proxy_start();
    // Pauses of 1 s then 2 s: three starts within about 3.5 s, not thousands.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    const int started = starts();
    EXPECT_GE(started, 2);
    EXPECT_LE(started, 4);
    const std::string text = LogCapture::instance().take();
    EXPECT_NE(text.find("restart ZebGoAgent.linux in 1000 ms"), std::string::npos);
    EXPECT_NE(text.find("restart ZebGoAgent.linux in 2000 ms"), std::string::npos);

    // A stop during a pause is not held up by it and no start follows.
    EXPECT_EQ(zeb_proxy_stop(), 0);
    const int afterStop = starts();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(starts(), afterStop);

    // Switching on again starts at once, and a healthy agent then stays up.
    setMode("normal");
    EXPECT_EQ(zeb_proxy_start(), 0);
    EXPECT_EQ(zeb_proxy_deinit(), 0);
    EXPECT_NE(LogCapture::instance().take().find("zeb proxy thread exit"), std::string::npos);
}

TEST_F(SupervisionTest, TeardownIsBoundedWhenTheAgentIgnoresSigterm) {
    SUPERVISE_IN_SANDBOX();
    install("ignore-term");
    ASSERT_EQ(zeb_proxy_init(), 0);
    ASSERT_EQ(zeb_proxy_start(), 0);
    const pid_t agent = find_pid_by_name("ZebGoAgent.linux");
    ASSERT_GT(agent, 0);
    EXPECT_EQ(zeb_proxy_stop(), -1);  // still there after the settle time
    EXPECT_EQ(zeb_proxy_deinit(), 0);
    EXPECT_NE(LogCapture::instance().take().find("still waits for ZebGoAgent.linux(" +
                                                 std::to_string(agent) + ")"),
              std::string::npos);
    EXPECT_EQ(zeb_proxy_init(), -1);  // the old thread has not finished yet
    // Once the agent is gone the thread reaps it and ends without starting another.
    ASSERT_EQ(kill(agent, SIGKILL), 0);
    EXPECT_TRUE(eventually([] {
        return LogCapture::instance().take().find("zeb proxy thread exit") != std::string::npos;
    }));
    EXPECT_EQ(starts(), 1);
}

}  // namespace
