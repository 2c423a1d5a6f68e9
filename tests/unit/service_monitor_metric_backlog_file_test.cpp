#include "service_monitor_metric_backlog_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "backlog_fixture.h"
#include "file_text.h"
#include "log_capture.h"

namespace {

// The records and segment files, driven through the store that writes and recovers them.
class BacklogFileTest : public BacklogTest {};

TEST_F(BacklogFileTest, FolderAndFilesArePrivateAndWritesAreOnePerKeep) {
    METRIC_BACKLOG_T* b = open();
    EXPECT_EQ(g_ops.writes + g_ops.fsyncs, 0);  // nothing kept, nothing written
    metric_backlog_keep(b, period(1000, kNow), kNow);
    EXPECT_EQ(g_ops.writes, 1);
    EXPECT_EQ(g_ops.fsyncs, 2);  // the record, and the folder for the new segment
    metric_backlog_keep(b, period(1000, kNow + 60000), kNow);
    EXPECT_EQ(g_ops.writes, 2);
    EXPECT_EQ(g_ops.fsyncs, 3);
    (void)attempt(8, BacklogOutcome::kUploaded);  // one DONE record, not synced
    EXPECT_EQ(g_ops.writes, 3);
    EXPECT_EQ(g_ops.fsyncs, 3);
    (void)attempt(8, BacklogOutcome::kRetry);  // a failed retry writes nothing
    EXPECT_EQ(g_ops.writes, 3);
    struct stat st {};
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    ASSERT_EQ(stat(segment(1).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
}

// Damage done to a folder holding two KEEP records of 3 and 4 metrics, then a reopen.
struct Damage {
    const char* name;
    void (*apply)(const std::string& file, size_t firstRecordSize);
    size_t kept;   // metrics recovered
    uint64_t cut;  // records cut
};

void flip(const std::string& file, size_t at) {
    std::string data = readAll(file);
    data[at] = static_cast<char>(data[at] ^ 0x40);
    writeAll(file, data);
}

const Damage kDamages[] = {
    {"intact", [](const std::string&, size_t) {}, 7, 0},
    {"torn tail",
     [](const std::string& f, size_t) { ASSERT_EQ(truncate(f.c_str(), static_cast<off_t>(readAll(f).size() - 5)), 0); },
     3, 1},
    {"flipped payload byte", [](const std::string& f, size_t first) { flip(f, first + 30); }, 3, 1},
    {"flipped magic", [](const std::string& f, size_t) { flip(f, 1); }, 0, 1},
    {"flipped checksum", [](const std::string& f, size_t first) { flip(f, first + 13); }, 3, 1},
    {"impossible length", [](const std::string& f, size_t first) { flip(f, first + 11); }, 3, 1},
    {"short length",  // the CRC no longer matches the shorter payload
     [](const std::string& f, size_t first) { flip(f, first + 8); }, 3, 1},
    {"unknown type, intact",  // a whole record of a later version is passed over
     [](const std::string& f, size_t) {
         std::string data = readAll(f);
         std::string rec("SMBL\x09\0\0\0\0\0\0\0\0\0\0\0", 16);  // empty payload, CRC 0
         writeAll(f, data + rec);
     },
     7, 0},
    {"garbage appended", [](const std::string& f, size_t) { writeAll(f, readAll(f) + "xyz"); }, 7, 1},
};

TEST_F(BacklogFileTest, DamagedRecordsAreCutAndTheRestKept) {
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.name);
        dir_ = root_ + "/" + std::to_string(&d - kDamages);  // a fresh folder per damage
        METRIC_BACKLOG_T* b = open();
        metric_backlog_keep(b, period(3, kNow, "a/b"), kNow);
        const size_t first = readAll(segment(1)).size();
        metric_backlog_keep(b, period(4, kNow + 1, "c/d"), kNow);
        metric_backlog_close(b);
        d.apply(segment(1), first);
        b = open();
        EXPECT_EQ(metric_backlog_size(b), d.kept);
        EXPECT_EQ(metric_backlog_stats(b).corruptCut, d.cut);
        b = open();  // the damage is gone from the file: nothing more to cut
        EXPECT_EQ(metric_backlog_size(b), d.kept);
        EXPECT_EQ(metric_backlog_stats(b).corruptCut, 0U);
        if (d.kept == 0) continue;
        const std::vector<BACKLOG_METRIC_T> got = metric_backlog_take(b, 1, kNow);
        ASSERT_EQ(got.size(), 1U);
        EXPECT_STREQ(got[0].moduleName, "a/b");
        EXPECT_STREQ(got[0].metricName, "m0");
        EXPECT_EQ(got[0].ts, kNow);
        EXPECT_EQ(got[0].value, 0.5);
        EXPECT_EQ(got[0].collectRule, 1U);
    }
}

TEST_F(BacklogFileTest, AKilledDrainSendsAgainOnlyWhatWasInFlight) {
    METRIC_BACKLOG_T* b = open();
    metric_backlog_keep(b, period(20, kNow), kNow);
    EXPECT_EQ(attempt(8, BacklogOutcome::kUploaded).size(), 8U);
    EXPECT_EQ(metric_backlog_take(b, 8, kNow).size(), 8U);  // in flight when killed
    b = open();
    EXPECT_EQ(metric_backlog_size(b), 12U);
    while (!attempt(8, BacklogOutcome::kUploaded).empty()) {
    }
    EXPECT_NE(access(segment(1).c_str(), F_OK), 0);  // all resolved: no file left
    b = open();
    EXPECT_EQ(metric_backlog_size(b), 0U);
}

TEST_F(BacklogFileTest, AnUnusableFolderKeepsTheBacklogInMemory) {
    writeAll(root_ + "/file", "x");
    dir_ = root_ + "/file/data";  // a folder under a file cannot be made
    LogCapture& log = LogCapture::begin();
    METRIC_BACKLOG_T* b = open(4000);
    for (uint64_t p = 0; p < 4; ++p) metric_backlog_keep(b, period(100, kNow + p), kNow);
    BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_LE(stats.bytesNow, 4000U);  // the same bound in memory
    EXPECT_EQ(stats.metricsNow + stats.droppedFull, 400U);
    EXPECT_NE(log.take().find("kept in memory only"), std::string::npos);

    // A disk that fills up: the backlog moves to memory, said once, nothing lost.
    dir_ = root_ + "/data/service-monitor";
    b = open();
    metric_backlog_keep(b, period(10, kNow), kNow);
    g_ops.failWrites = true;
    metric_backlog_keep(b, period(10, kNow + 1), kNow);
    metric_backlog_keep(b, period(10, kNow + 2), kNow);
    EXPECT_EQ(metric_backlog_size(b), 30U);
    EXPECT_EQ(attempt(8, BacklogOutcome::kUploaded).size(), 8U);
    const std::string lines = log.take();
    EXPECT_EQ(lines.find("kept in memory only"), lines.rfind("kept in memory only"));
    EXPECT_NE(lines.find("No space left"), std::string::npos);
}

}  // namespace
