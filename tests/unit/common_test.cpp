#include "common.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/sm-common-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { (void)system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool isDir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool waitForFile(const std::string& path, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(MkDeepPath, ExistingPathIsReportedAsPresent) {
    TempDir dir;
    EXPECT_EQ(mk_deeppath(dir.path().c_str()), 1);
}

TEST(MkDeepPath, CreatesEveryMissingLevel) {
    TempDir dir;
    const std::string deep = dir.path() + "/a/b/c";
    EXPECT_EQ(mk_deeppath(deep.c_str()), 0);
    EXPECT_TRUE(isDir(dir.path() + "/a/b"));
    EXPECT_TRUE(isDir(deep));
    EXPECT_EQ(mk_deeppath(deep.c_str()), 1);
}

TEST(MkDeepPath, TrailingSlashCreatesComponentsThenFailsOnTheLastMkdir) {
    TempDir dir;
    const std::string path = dir.path() + "/x/y/";
    EXPECT_EQ(mk_deeppath(path.c_str()), -1);
    EXPECT_TRUE(isDir(dir.path() + "/x/y"));
}

TEST(MkDeepPath, NullPathFails) { EXPECT_EQ(mk_deeppath(nullptr), -1); }

TEST(GetTimeMs, FollowsTheWallClock) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const uint64_t ms = get_time_ms();
    EXPECT_LE(static_cast<uint64_t>(now) - 1000, ms);
    EXPECT_LE(ms, static_cast<uint64_t>(now) + 1000);
    EXPECT_LE(ms, get_time_ms());
}

TEST(FindPidByName, FindsAChildByItsFirstArgument) {
    const pid_t child = process_exec("/bin/sleep", "sm-test-sleeper-marker 5", 0);
    ASSERT_GT(child, 0);
    // argv[0] is the first word of the command line, not the path.
    pid_t found = -1;
    for (int i = 0; i < 100 && found != child; ++i) {
        found = find_pid_by_name("sm-test-sleeper-marker");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(found, child);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(find_pid_by_name("sm-test-sleeper-marker"), -1);
    EXPECT_EQ(find_pid_by_name(nullptr), -1);
}

TEST(SplitCmdline, SplitsAtRunsOfBlanksAndRefusesTooManyWords) {
    char cmd[] = "prog  a   b";
    char* argv[kMaxArgs];
    ASSERT_EQ(split_cmdline(cmd, argv), 3);
    EXPECT_STREQ(argv[0], "prog");
    EXPECT_STREQ(argv[2], "b");
    EXPECT_EQ(argv[3], nullptr);

    std::string many;
    for (int i = 0; i < kMaxArgs; ++i) many += "w ";
    EXPECT_EQ(split_cmdline(many.data(), argv), -1);
}

TEST(ProcessExec, SyncWaitsAndAsyncReturnsAtOnce) {
    TempDir dir;
    const std::string marker = dir.path() + "/done";
    const pid_t pid = process_exec("/bin/touch", ("touch " + marker).c_str(), 1);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "sync start returns after the child ended";

    const pid_t sleeper = process_exec("/bin/sleep", "sleep 5", 0);
    ASSERT_GT(sleeper, 0);
    EXPECT_EQ(waitpid(sleeper, nullptr, WNOHANG), 0) << "async start does not wait";
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

TEST(ProcessExec, LongCommandLineKeepsOnlyTheWordsOfItsFirst255Characters) {
    TempDir dir;
    const std::string out = dir.path() + "/args";
    // printf writes each argument on its own line; the script below records them.
    const std::string script = dir.path() + "/rec.sh";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << out << "\n";
    chmod(script.c_str(), 0755);
    std::string cmd = "rec";
    while (cmd.size() < 250) cmd += " abcdefghijklmnopqrstuvwxyz0123";
    cmd += " LAST-WORD-BEYOND-THE-LIMIT";
    ASSERT_GT(cmd.size(), 255u);
    ASSERT_GT(process_exec(script.c_str(), cmd.c_str(), 1), 0);
    const std::string args = readFile(out);
    EXPECT_NE(args.find("abcd"), std::string::npos);
    EXPECT_EQ(args.find("LAST-WORD"), std::string::npos);
}

TEST(ProcessExec, MissingArgumentsAreRefused) {
    EXPECT_EQ(process_exec(nullptr, "x", 0), -1);
    EXPECT_EQ(process_exec("/bin/true", nullptr, 0), -1);
}

TEST(ProcessDeamon, RunsTheProgramDetached) {
    TempDir dir;
    const std::string marker = dir.path() + "/daemonized";
    const std::string script = dir.path() + "/d.sh";
    std::ofstream(script) << "#!/bin/sh\nps -o sid= -p $$ > " << marker << ".tmp && mv "
                          << marker << ".tmp " << marker << "\n";
    chmod(script.c_str(), 0755);
    ASSERT_EQ(process_deamon(script.c_str(), "d.sh"), 0);
    ASSERT_TRUE(waitForFile(marker, 5000));
    EXPECT_NE(atoi(readFile(marker).c_str()), getsid(0)) << "runs in a session of its own";
}

TEST(ProcessDeamon, LaunchCountsEvenWhenTheProgramIsMissing) {
    EXPECT_EQ(process_deamon("/nonexistent/program", "program"), 0);
    EXPECT_EQ(process_deamon(nullptr, "x"), -1);
}

TEST(GetExeBaseDir, IsTheParentOfTheExecutablesDirectoryAndStable) {
    char first[kExeDirBufSize] = {};
    char second[kExeDirBufSize] = {};
    ASSERT_EQ(get_exe_base_dir(first), 0);
    ASSERT_EQ(get_exe_base_dir(second), 0);
    EXPECT_STREQ(first, second);
    char exe[kExeDirBufSize] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    std::string dir(exe);
    dir = dir.substr(0, dir.rfind('/'));
    dir = dir.substr(0, dir.rfind('/'));
    EXPECT_EQ(std::string(first), dir);
}

TEST(KillProcess, ReportsFailure) {
    EXPECT_EQ(kill_process(0x7ffffff0, SIGTERM), -1);
}
