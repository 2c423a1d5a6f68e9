// The backlog's test fixture: a fresh folder per test, the store opened in it with file
// calls that count (and fail on demand), and periods of metrics to keep.
#ifndef TESTS_BACKLOG_FIXTURE_H
#define TESTS_BACKLOG_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "file_text.h"
#include "service_monitor_metric_backlog.h"

inline constexpr uint64_t kNow = 1700000000000ULL;
inline constexpr uint64_t kInstance = 42;

// Counts the store's file calls and names the folders synced; failWrites makes the disk
// full: a write takes all but its last byte, then fails with ENOSPC. holdFsync holds every
// fsync (inFsync set) until it is cleared.
struct OpsCount {
    int writes = 0;
    int fsyncs = 0;
    bool failWrites = false;
    std::vector<std::string> dirSyncs;
    std::atomic<bool> holdFsync{false};
    std::atomic<bool> inFsync{false};
    void reset() {
        writes = fsyncs = 0;
        failWrites = false;
        dirSyncs.clear();
        holdFsync = inFsync = false;
    }
};
inline OpsCount g_ops;
inline ssize_t countedWrite(int fd, const void* data, size_t size) {
    ++g_ops.writes;
    if (g_ops.failWrites) {
        if (size > 1) return write(fd, data, size - 1);
        errno = ENOSPC;
        return -1;
    }
    return write(fd, data, size);
}
inline int countedFsync(int fd) {
    ++g_ops.fsyncs;
    g_ops.inFsync = g_ops.holdFsync.load();
    while (g_ops.holdFsync.load()) usleep(1000);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        g_ops.dirSyncs.push_back(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)));
    }
    return fsync(fd);
}
inline const BACKLOG_FILE_OPS_T kCounted = {countedWrite, countedFsync};

inline std::vector<BACKLOG_METRIC_T> period(size_t count, uint64_t ts, const char* module = "net/wan") {
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
    void SetUp() override { g_ops.reset(); }
    void TearDown() override {
        if (backlog_) metric_backlog_close(backlog_.get());
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

    TempDir tmp_;
    const std::string root_ = tmp_.path();
    std::string dir_ = root_ + "/data/service-monitor";
    std::unique_ptr<METRIC_BACKLOG_T> backlog_;
};

#endif
