// The agent's property files.
#include "service_monitor_zeb_proxy_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common.h"
#include "file_text.h"

namespace {

namespace files = zeb_proxy_files;

AGENT_SECRET_T keys(const char* access, const char* secret) {
    AGENT_SECRET_T k {};
    snprintf(k.accessKey, sizeof k.accessKey, "%s", access);
    snprintf(k.secretKey, sizeof k.secretKey, "%s", secret);
    return k;
}

class PropertyFileTest : public ::testing::Test {
protected:
    mode_t secretMode() const {
        struct stat st {};
        return stat(secret_.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    TempDir tmp_;
    const std::string root_ = tmp_.path();
    const std::string dir_ = root_ + "/a/b";
    const std::string serial_ = dir_ + "/serial_number.properties";
    const std::string secret_ = dir_ + "/accesskey.properties";
};

TEST_F(PropertyFileTest, SerialNumberIsWrittenWholeAndLineBreaksAreRefused) {
    ASSERT_EQ(files::write_serialnum(dir_.c_str(), serial_.c_str(), "SN-0001"), 0);
    ASSERT_EQ(files::write_serialnum(dir_.c_str(), serial_.c_str(), "B"), 0);
    EXPECT_EQ(readAll(serial_), "zeb.agent.serialNumber=B\n");  // truncated, not appended
    // The line is formatted into 128 bytes: a long serial is cut after 127.
    const std::string longSerial(200, 'x');
    ASSERT_EQ(files::write_serialnum(dir_.c_str(), serial_.c_str(), longSerial.c_str()), 0);
    EXPECT_EQ(readAll(serial_).size(), 127u);
    // A line break would let the value start a property line of its own.
    for (const char* bad : {"A\nB=C", "A\rB=C", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(files::write_serialnum(dir_.c_str(), serial_.c_str(), bad), -1);
    }
    EXPECT_EQ(readAll(serial_).size(), 127u);
}

TEST_F(PropertyFileTest, SerialNumberParsing) {
    ASSERT_EQ(mk_deeppath(dir_.c_str()), 0);
    const struct {
        const char* text;
        int rc;
        const char* serial;
    } cases[] = {
        {"zeb.agent.serialNumber  =   SN-42  \n", 0, "SN-42"},
        {"# agent\nother=1\nzeb.agent.serialNumber=LATE\n", 0, "LATE"},
        {"zeb.agent.serialNumber=\n", -1, ""},
        {"something=else\n", -1, ""},
        {"", -1, ""},
    };
    for (const auto& c : cases) {
        writeAll(serial_, c.text);
        char buf[64] = {};
        EXPECT_EQ(files::read_serialnum(serial_.c_str(), buf, sizeof buf), c.rc) << c.text;
        EXPECT_STREQ(buf, c.serial) << c.text;
    }
    // A buffer too short for the value is refused and left alone.
    writeAll(serial_, "zeb.agent.serialNumber=ABC\n");
    char buf[8] = "keep";
    EXPECT_EQ(files::read_serialnum(serial_.c_str(), buf, 3), -1);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(files::read_serialnum(serial_.c_str(), buf, 4), 0);
    EXPECT_STREQ(buf, "ABC");
    EXPECT_EQ(files::read_serialnum((root_ + "/none").c_str(), buf, sizeof buf), -1);
}

TEST_F(PropertyFileTest, SecretFileIsPrivateAndRefusesBrokenKeys) {
    const AGENT_SECRET_T k = keys("AK123", "SK456");
    const mode_t old = umask(0);  // even a permissive umask must not widen the mode
    ASSERT_EQ(files::write_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    umask(old);
    EXPECT_EQ(secretMode(), 0600u);
    // Replacing a file that was readable by others closes it up too.
    ASSERT_EQ(chmod(secret_.c_str(), 0644), 0);
    const AGENT_SECRET_T next = keys("AK2", "SK2");
    ASSERT_EQ(files::write_secret(dir_.c_str(), secret_.c_str(), &next), 0);
    EXPECT_EQ(secretMode(), 0600u);
    const std::string written = "zeb.agent.accesskey=AK2\nzeb.agent.secretkey=SK2\n";
    EXPECT_EQ(readAll(secret_), written);

    for (const AGENT_SECRET_T& bad : {keys("", "SK"), keys("AK\nzeb.agent.secretkey=X", "SK"),
                                      keys("AK", "SK\rzeb.agent.accesskey=X")}) {
        EXPECT_EQ(files::write_secret(dir_.c_str(), secret_.c_str(), &bad), -1);
        EXPECT_EQ(files::sync_secret(dir_.c_str(), secret_.c_str(), &bad), -1);
    }
    EXPECT_EQ(files::sync_secret(dir_.c_str(), secret_.c_str(), nullptr), -1);
    EXPECT_EQ(readAll(secret_), written);
}

TEST_F(PropertyFileTest, SyncRewritesOnlyWhatChanged) {
    const AGENT_SECRET_T k = keys("AK", "SK");
    ASSERT_EQ(files::sync_secret(dir_.c_str(), secret_.c_str(), &k), 0);  // no file yet
    // Move the modification time into the past so that any rewrite would show.
    const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, secret_.c_str(), past, 0), 0);
    ASSERT_EQ(chmod(secret_.c_str(), 0640), 0);
    EXPECT_EQ(files::sync_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    struct stat st {};
    ASSERT_EQ(stat(secret_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Keys in the wrong order do not count as the same file.
    writeAll(secret_, "zeb.agent.secretkey = SK\nzeb.agent.accesskey = AK\n");
    AGENT_SECRET_T read {};
    EXPECT_EQ(files::read_secret(secret_.c_str(), &read), -1);
    EXPECT_EQ(files::sync_secret(dir_.c_str(), secret_.c_str(), &k), 0);
    EXPECT_EQ(readAll(secret_), "zeb.agent.accesskey=AK\nzeb.agent.secretkey=SK\n");

    EXPECT_EQ(files::remove_secret(secret_.c_str()), 0);
    EXPECT_NE(access(secret_.c_str(), F_OK), 0);
    EXPECT_EQ(files::remove_secret(secret_.c_str()), -1);
}

}  // namespace
