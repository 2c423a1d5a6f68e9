#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "file_text.h"
#include "log_capture.h"
#include "service_monitor_metric_backlog.h"

namespace {

constexpr uint64_t kNow = 1700000000000ULL;
constexpr uint64_t kInstance = 42;

// Counts the store's file calls; failWrites makes every write fail with ENOSPC.
struct OpsCount {
    int writes = 0;
    int fsyncs = 0;
    bool failWrites = false;
};
OpsCount g_ops;
ssize_t countedWrite(int fd, const void* data, size_t size) {
    ++g_ops.writes;
    if (g_ops.failWrites) {
        errno = ENOSPC;
        return -1;
    }
    return write(fd, data, size);
}
int countedFsync(int fd) {
    ++g_ops.fsyncs;
    return fsync(fd);
}
const BACKLOG_FILE_OPS_T kCounted = {countedWrite, countedFsync};

std::vector<BACKLOG_METRIC_T> period(size_t count, uint64_t ts, const char* module = "net/wan") {
    std::vector<BACKLOG_METRIC_T> metrics(count);
    for (size_t i = 0; i < count; ++i) {
        snprintf(metrics[i].moduleName, sizeof metrics[i].moduleName, "%s", module);
        snprintf(metrics[i].metricName, sizeof metrics[i].metricName, "m%zu", i);
        metrics[i].collectRule = 1 + i % 3;
        metrics[i].value = 0.5 + static_cast<double>(i);
        metrics[i].ts = ts;
    }
    return metrics;
}

// A fresh folder per test, and the backlog opened in it.
class BacklogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/sm_backlog_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        dir_ = root_ + "/data/service-monitor";
        g_ops = OpsCount{};
    }
    void TearDown() override {
        if (backlog_) metric_backlog_close(backlog_.get());
        (void)system(("rm -rf " + root_).c_str());
    }
    // Closing writes nothing, so a reopen finds the files as a killed process left them.
    METRIC_BACKLOG_T* open(uint64_t maxBytes = SM_BACKLOG_MAX_BYTES, uint64_t instance = kInstance) {
        if (backlog_) metric_backlog_close(backlog_.get());
        backlog_ = std::make_unique<METRIC_BACKLOG_T>();
        backlog_->maxBytes = maxBytes;
        metric_backlog_open(backlog_.get(), dir_, &kCounted);
        if (instance != 0) metric_backlog_set_instance(backlog_.get(), instance);
        return backlog_.get();
    }
    std::string segment(int seq) const {
        char name[40];
        snprintf(name, sizeof name, "/backlog-%016x.seg", seq);
        return dir_ + name;
    }
    // Uploads everything taken with the given outcome; the ids taken.
    std::vector<uint64_t> attempt(size_t max, BacklogOutcome outcome) {
        std::vector<uint64_t> ids;
        for (const BACKLOG_METRIC_T& m : metric_backlog_take(backlog_.get(), max, kNow)) {
            ids.push_back(m.id);
        }
        metric_backlog_resolve(backlog_.get(), ids,
                               std::vector<BacklogOutcome>(ids.size(), outcome));
        return ids;
    }

    std::string root_;
    std::string dir_;
    std::unique_ptr<METRIC_BACKLOG_T> backlog_;
};

TEST_F(BacklogTest, FolderAndFilesArePrivateAndWritesAreOnePerKeep) {
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

TEST_F(BacklogTest, DamagedRecordsAreCutAndTheRestKept) {
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.name);
        TearDown();
        SetUp();
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

TEST_F(BacklogTest, AnotherInstanceIsDroppedOnceKnownAndUnknownFilesStay) {
    metric_backlog_keep(open(), period(5, kNow), kNow);
    writeAll(dir_ + "/notes.txt", "mine");
    METRIC_BACKLOG_T* b = open(SM_BACKLOG_MAX_BYTES, 0);
    EXPECT_TRUE(metric_backlog_take(b, 8, kNow).empty());  // instance not known
    metric_backlog_set_instance(b, kInstance + 1);
    const BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.droppedInstance, 5U);
    EXPECT_EQ(stats.metricsNow, 0U);
    EXPECT_NE(access(segment(1).c_str(), F_OK), 0);  // nothing waits in it: deleted
    EXPECT_EQ(readAll(dir_ + "/notes.txt"), "mine");
    EXPECT_NE(metric_backlog_instance_digest("acc", "pk", "dev"),
              metric_backlog_instance_digest("acc", "pkd", "ev"));
}

TEST_F(BacklogTest, BoundsDropTheOldestFirst) {
    // Each 100-metric keep takes about 2.3 kB; a bound of 8 kB keeps the newest few.
    METRIC_BACKLOG_T* b = open(8000);
    for (uint64_t p = 0; p < 10; ++p) metric_backlog_keep(b, period(100, kNow + p), kNow);
    BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_LE(stats.bytesNow, 8000U);
    EXPECT_GT(stats.droppedFull, 0U);
    EXPECT_EQ(stats.kept, 1000U);
    EXPECT_EQ(stats.metricsNow + stats.droppedFull, 1000U);
    EXPECT_EQ(metric_backlog_take(b, 1, kNow)[0].ts, kNow + 10 - stats.metricsNow / 100);
    // Past the age bound: dropped at the next look, but for the one in flight.
    const uint64_t before = stats.metricsNow;
    (void)metric_backlog_take(b, 0, kNow + b->maxAgeMs + 10);
    stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.droppedAge, before - 1);
    EXPECT_EQ(stats.metricsNow, 1U);
}

TEST_F(BacklogTest, SeriesGoOldestFirstOneAtATime) {
    METRIC_BACKLOG_T* b = open();
    metric_backlog_keep(b, period(3, kNow), kNow);
    metric_backlog_keep(b, period(3, kNow + 60000), kNow);
    EXPECT_TRUE(metric_backlog_holds_series(b, "net/wan", "m2"));
    EXPECT_FALSE(metric_backlog_holds_series(b, "net/wan", "m3"));
    std::vector<BACKLOG_METRIC_T> round = metric_backlog_take(b, 8, kNow);
    ASSERT_EQ(round.size(), 3U);  // one per series, the older period
    for (const BACKLOG_METRIC_T& m : round) EXPECT_EQ(m.ts, kNow);
    EXPECT_TRUE(metric_backlog_take(b, 8, kNow).empty());  // every series in flight
    metric_backlog_resolve(b, {round[0].id, round[1].id, round[2].id},
                           {BacklogOutcome::kRetry, BacklogOutcome::kUploaded,
                            BacklogOutcome::kAuthFailed});
    round = metric_backlog_take(b, 8, kNow);
    ASSERT_EQ(round.size(), 3U);
    // m0 retried and m2 once more after a 401: still their older metrics; m1 moves on.
    for (const BACKLOG_METRIC_T& m : round) {
        EXPECT_EQ(m.ts, strcmp(m.metricName, "m1") == 0 ? kNow + 60000 : kNow) << m.metricName;
    }
    EXPECT_STREQ(round[1].metricName, "m2");
    metric_backlog_resolve(b, {round[1].id}, {BacklogOutcome::kAuthFailed});
    const BACKLOG_STATS_T stats = metric_backlog_stats(b);
    EXPECT_EQ(stats.droppedRefused, 1U);
    EXPECT_EQ(stats.uploaded, 1U);
    EXPECT_EQ(stats.retried, 2U);
}

TEST_F(BacklogTest, AKilledDrainSendsAgainOnlyWhatWasInFlight) {
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

TEST_F(BacklogTest, AnUnusableFolderKeepsTheBacklogInMemory) {
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
