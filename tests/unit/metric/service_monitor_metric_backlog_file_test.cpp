#include "service_monitor_metric_backlog_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "backlog_fixture.h"
#include "file_text.h"
#include "log_capture.h"

namespace {

// The records and segment files, driven through the store that writes and recovers them.
class BacklogFileTest : public BacklogTest {};

TEST_F(BacklogFileTest, FolderAndFilesArePrivateAndWritesAreOnePerKeep) {
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(backlog_file_prepare_dir(dir_, kCounted));
    // The entries of the folders made, in their parents, are synced once.
    EXPECT_EQ(g_ops.dirSyncs, (std::vector<std::string>{root_, root_ + "/data"}));
    g_ops.reset();
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

// Damage done to a folder holding a KEEP of 150 metrics (records of 64, 64 and 22) and one
// of 4 metrics, then two reopens.
struct Damage {
    const char* name;
    void (*apply)(const std::string& file, size_t firstKeepSize);
    size_t kept;        // metrics recovered
    uint64_t cut;       // damaged regions met at the first reopen
    uint64_t cutAgain;  // and at the second: a damaged tail is cut off, one inside stays
};

void flip(const std::string& file, size_t at) {
    std::string data = readAll(file);
    data[at] = static_cast<char>(data[at] ^ 0x40);
    writeAll(file, data);
}
template <size_t at>
void flipInFirstKeep(const std::string& file, size_t) { flip(file, at); }
template <size_t at>
void flipInSecondKeep(const std::string& file, size_t first) { flip(file, first + at); }

const Damage kDamages[] = {
    {"intact", [](const std::string&, size_t) {}, 154, 0, 0},
    {"torn tail",
     [](const std::string& f, size_t) { ASSERT_EQ(truncate(f.c_str(), static_cast<off_t>(readAll(f).size() - 5)), 0); },
     150, 1, 0},
    {"flipped payload byte", flipInSecondKeep<30>, 150, 1, 0},
    {"flipped checksum", flipInSecondKeep<13>, 150, 1, 0},
    {"impossible length", flipInSecondKeep<11>, 150, 1, 0},
    {"short length", flipInSecondKeep<8>, 150, 1, 0},
    // Damage to the first record loses its 64 metrics only.
    {"flipped magic", flipInFirstKeep<1>, 90, 1, 1},
    {"flipped type", flipInFirstKeep<4>, 90, 1, 1},
    {"flipped padding", flipInFirstKeep<6>, 90, 1, 1},
    {"unknown type, intact",  // a whole record of a later version is passed over
     [](const std::string& f, size_t) {
         const char rec[] = "SMBL\x09\0\0\0\x04\0\0\0\xd5\x11\xdc\xa5\x89\xb1(\x1f";
         writeAll(f, readAll(f) + std::string(rec, sizeof rec - 1));
     },
     154, 0, 0},
    {"garbage appended", [](const std::string& f, size_t) { writeAll(f, readAll(f) + "xyz"); },
     154, 1, 0},
};

TEST_F(BacklogFileTest, DamageLosesOnlyTheRecordsItHits) {
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.name);
        dir_ = root_ + "/" + std::to_string(&d - kDamages);  // a fresh folder per damage
        METRIC_BACKLOG_T* b = open();
        metric_backlog_keep(b, period(150, kNow, "a/b"), kNow);
        const size_t first = readAll(segment(1)).size();
        EXPECT_EQ(first, backlog_keep_bytes(period(150, kNow, "a/b")));
        metric_backlog_keep(b, period(4, kNow + 1, "c/d"), kNow);
        metric_backlog_close(b);
        d.apply(segment(1), first);
        b = open();
        EXPECT_EQ(metric_backlog_size(b), d.kept);
        EXPECT_EQ(metric_backlog_stats(b).corruptCut, d.cut);
        b = open();
        EXPECT_EQ(metric_backlog_size(b), d.kept);
        EXPECT_EQ(metric_backlog_stats(b).corruptCut, d.cutAgain);
        if (d.kept < 150) continue;
        const std::vector<BACKLOG_METRIC_T> got = metric_backlog_take(b, 1, kNow);
        ASSERT_EQ(got.size(), 1U);
        EXPECT_STREQ(got[0].moduleName, "a/b");
        EXPECT_STREQ(got[0].metricName, "m0");
        EXPECT_EQ(got[0].ts, kNow);
        EXPECT_EQ(got[0].value, 0.5);
        EXPECT_EQ(got[0].collectRule, 1U);
    }
}

// What an earlier version wrote: a KEEP of metrics 1 and 2 ("a/b" m0 and m1), a DONE of 1.
const char kOlderSegment[] =
    "SMBL\x01\0\0\0\x44\0\0\0\x8c\xb1\x36\xd0*\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\x02\0\0\0\0h\xe5\xcf"
    "\x8b\x01\0\0\0\0\0\0\0\0\xe0?\x01\x03\x61/b\x02m0\0h\xe5\xcf\x8b\x01\0\0\0\0\0\0\0\0\xf8?\x02"
    "\x03\x61/b\x02m1SMBL\x02\0\0\0\x0c\0\0\0\x9e\x8a\xda,\x01\0\0\0\x01\0\0\0\0\0\0\0";

TEST_F(BacklogFileTest, OlderSegmentsAreReadAndNumbersNeverWrap) {
    std::filesystem::create_directories(dir_);
    writeAll(dir_ + "/backlog-ffffffffffffffff.seg", std::string(kOlderSegment, sizeof kOlderSegment - 1));
    METRIC_BACKLOG_T* b = open(400);  // a segment per keep
    const std::vector<BACKLOG_METRIC_T> got = metric_backlog_take(b, 8, kNow);
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].id, 2U);
    EXPECT_STREQ(got[0].metricName, "m1");
    EXPECT_EQ(got[0].value, 1.5);
    EXPECT_EQ(got[0].collectRule, 2U);
    EXPECT_EQ(got[0].ts, kNow);
    metric_backlog_keep(b, period(3, kNow, "c/d"), kNow);
    metric_backlog_keep(b, period(3, kNow + 1, "e/f"), kNow);
    b = open(400);
    EXPECT_EQ(metric_backlog_size(b), 7U);
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
    g_ops.failWrites = true;  // the next keep leaves part of a record behind
    metric_backlog_keep(b, period(10, kNow + 1), kNow);
    metric_backlog_keep(b, period(10, kNow + 2), kNow);
    EXPECT_EQ(metric_backlog_size(b), 30U);
    EXPECT_EQ(attempt(8, BacklogOutcome::kUploaded).size(), 8U);
    const std::string lines = log.take();
    EXPECT_EQ(lines.find("kept in memory only"), lines.rfind("kept in memory only"));
    EXPECT_NE(lines.find("No space left"), std::string::npos);

    // The next keep tries the folder again: what waited in memory goes with it, and the DONE
    // records owed; a reopen finds what still waits, nothing torn.
    g_ops.failWrites = false;
    metric_backlog_keep(b, period(5, kNow + 3, "x/y"), kNow);
    EXPECT_NE(log.take().find("writable again"), std::string::npos);
    b = open();
    EXPECT_EQ(metric_backlog_size(b), 27U);  // 10 + 20 + 5, less the 8 taken
    EXPECT_EQ(metric_backlog_stats(b).corruptCut, 0U);

    // A stop while the disk cannot be written: what only memory held is lost, and said so.
    g_ops.failWrites = true;
    metric_backlog_keep(b, period(3, kNow + 4, "x/z"), kNow);
    metric_backlog_close(b);
    EXPECT_EQ(metric_backlog_stats(b).lostAtStop, 3U);
    EXPECT_NE(log.take().find("3 metrics lost at stop"), std::string::npos);
}

}  // namespace
