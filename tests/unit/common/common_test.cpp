#include "common.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "private_bus.h"

namespace {

class CommonTest : public ::testing::Test {
protected:
    // A shell script at dir_/name with body; its path.
    std::string script(const std::string& name, const std::string& body) {
        const std::string path = dir_ + "/" + name;
        writeAll(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
        return path;
    }

    TempDir tmp_;
    const std::string dir_ = tmp_.path();
};

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

TEST_F(CommonTest, ProcessExecWaitsOnlyWhenAskedAndCutsLongCommandLines) {
    const std::string out = dir_ + "/args";
    const std::string rec = script("rec.sh", "printf '%s\\n' \"$@\" > " + out);
    std::string cmd = "rec";
    while (cmd.size() < 250) cmd += " abcdefghijklmnopqrstuvwxyz0123";
    cmd += " LAST-WORD-BEYOND-THE-LIMIT";
    ASSERT_GT(process_exec(rec.c_str(), cmd.c_str(), 1), 0);
    const std::string args = readAll(out);  // written: the call waited
    EXPECT_NE(args.find("abcd"), std::string::npos);
    EXPECT_EQ(args.find("LAST-WORD"), std::string::npos);

    const pid_t sleeper = process_exec("/bin/sleep", "sleep 5", 0);
    ASSERT_GT(sleeper, 0);
    EXPECT_EQ(waitpid(sleeper, nullptr, WNOHANG), 0) << "async start does not wait";
    testbus::stopProcess(sleeper, SIGKILL);
    EXPECT_EQ(process_exec(nullptr, "x", 0), -1);
    EXPECT_EQ(process_exec("/bin/true", nullptr, 0), -1);
}

TEST_F(CommonTest, ProcessDeamonRunsTheProgramInASessionOfItsOwn) {
    const std::string marker = dir_ + "/sid";
    const std::string d = script("d.sh", "ps -o sid= -p $$ > " + marker + ".tmp && mv " + marker +
                                             ".tmp " + marker);
    ASSERT_EQ(process_deamon(d.c_str(), "d.sh"), 0);
    ASSERT_TRUE(testbus::eventually([&] { return access(marker.c_str(), F_OK) == 0; }));
    EXPECT_NE(atoi(readAll(marker).c_str()), getsid(0));
    EXPECT_EQ(process_deamon("/nonexistent/program", "program"), 0);  // the launch counts
    EXPECT_EQ(process_deamon(nullptr, "x"), -1);
}

}  // namespace
