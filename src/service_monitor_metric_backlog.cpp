#include "service_monitor_metric_backlog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "common.h"

namespace {

std::string seriesKey(const char* moduleName, const char* metricName) {
    std::string key(moduleName);
    key.push_back('\0');
    key.append(metricName);
    return key;
}

// Counts a metric as resolved and lets its segment go when nothing in it waits any more.
void markResolved(METRIC_BACKLOG_T* b, BACKLOG_METRIC_T& m) {
    m.resolved = true;
    m.inFlight = false;
    --b->live;
    const auto it = b->series.find(seriesKey(m.moduleName, m.metricName));
    if (it != b->series.end() && --it->second == 0) b->series.erase(it);
    if (b->onDisk) {
        backlog_file_resolved(&b->files, m.segment);
    } else {
        b->memoryBytes -= backlog_entry_size(m);
    }
}

void popResolvedFront(METRIC_BACKLOG_T* b) {
    while (!b->metrics.empty() && b->metrics.front().resolved) b->metrics.pop_front();
}

// The folder was given up: the kept metrics are counted in memory from now on.
void moveToMemory(METRIC_BACKLOG_T* b) {
    b->onDisk = false;
    b->memoryBytes = 0;
    for (const BACKLOG_METRIC_T& m : b->metrics) {
        if (!m.resolved) b->memoryBytes += backlog_entry_size(m);
    }
}

void writeDone(METRIC_BACKLOG_T* b, const std::vector<uint64_t>& ids) {
    if (!ids.empty() && !backlog_file_done(&b->files, ids, b->maxBytes)) moveToMemory(b);
    if (b->onDisk) backlog_file_delete_resolved(&b->files);
}

uint64_t bytesNow(const METRIC_BACKLOG_T* b) {
    return b->onDisk ? backlog_file_bytes(&b->files) : b->memoryBytes;
}

// Drops kept metrics for a reason, recording it on disk unless their segment goes whole.
void dropMetrics(METRIC_BACKLOG_T* b, const std::vector<BACKLOG_METRIC_T*>& victims,
                 uint64_t* counter) {
    if (victims.empty()) return;
    std::vector<uint64_t> ids;
    for (BACKLOG_METRIC_T* m : victims) {
        ids.push_back(m->id);
        markResolved(b, *m);
    }
    *counter += victims.size();
    if (b->onDisk) writeDone(b, ids);
    popResolvedFront(b);
}

void dropOld(METRIC_BACKLOG_T* b, uint64_t nowMs) {
    std::vector<BACKLOG_METRIC_T*> victims;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (m.resolved || m.inFlight) continue;
        if (m.ts + b->maxAgeMs >= nowMs) break;
        victims.push_back(&m);
    }
    dropMetrics(b, victims, &b->stats.droppedAge);
}

// Drops the oldest segment whole, its waiting metrics counted as dropped "full".
void dropOldestSegment(METRIC_BACKLOG_T* b) {
    const uint64_t seq = b->files.segments.front().seq;
    size_t dropped = 0;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (m.resolved || m.segment != seq) continue;
        markResolved(b, m);
        ++dropped;
    }
    b->stats.droppedFull += dropped;
    b->files.segments.front().pending = 0;
    backlog_file_delete_resolved(&b->files);
    popResolvedFront(b);
}

// Makes room for incoming bytes and metrics: the oldest go first.
void makeRoom(METRIC_BACKLOG_T* b, uint64_t incomingBytes, size_t incomingMetrics) {
    const size_t maxMetrics = kBacklogMaxMemoryBytes / sizeof(BACKLOG_METRIC_T);
    while (b->onDisk && !b->files.segments.empty() && bytesNow(b) + incomingBytes > b->maxBytes) {
        dropOldestSegment(b);
    }
    std::vector<BACKLOG_METRIC_T*> victims;
    uint64_t bytes = bytesNow(b);
    size_t live = b->live;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        const bool overBytes = !b->onDisk && bytes + incomingBytes > b->maxBytes;
        if (!overBytes && live + incomingMetrics <= maxMetrics) break;
        if (m.resolved) continue;
        victims.push_back(&m);
        bytes -= backlog_entry_size(m);
        --live;
    }
    dropMetrics(b, victims, &b->stats.droppedFull);
}

void addMetric(METRIC_BACKLOG_T* b, const BACKLOG_METRIC_T& m) {
    b->metrics.push_back(m);
    ++b->live;
    ++b->series[seriesKey(m.moduleName, m.metricName)];
}

void recover(METRIC_BACKLOG_T* b) {
    uint64_t lastId = 0;
    const std::vector<BACKLOG_METRIC_T> waiting =
        backlog_file_recover(&b->files, &lastId, &b->stats.corruptCut);
    for (const BACKLOG_METRIC_T& m : waiting) addMetric(b, m);
    b->nextId = lastId + 1;
    if (b->live != 0) {
        SM_LOG(1, "backlog: %zu metrics kept from before\n", b->live);
    }
}

// True when dir (created 0700 with its parents when missing) can be written.
bool prepareDir(const std::string& dir) {
    const size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash != 0 &&
        mk_deeppath(dir.substr(0, slash).c_str()) < 0) {
        return false;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
    (void)chmod(dir.c_str(), 0700);
    return access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

void metric_backlog_open(METRIC_BACKLOG_T* b, const std::string& dir,
                         const BACKLOG_FILE_OPS_T* ops) {
    const std::lock_guard<std::mutex> lock(b->lock);
    b->files.ops = ops != nullptr ? *ops : BACKLOG_FILE_OPS_T{};
    b->files.dir = dir;
    b->onDisk = !dir.empty() && prepareDir(dir);
    if (b->onDisk) {
        recover(b);
    } else if (!dir.empty()) {
        SM_LOG(2, "backlog folder %s unusable (create: %s), backlog kept in memory only\n",
               dir.c_str(), strerror(errno));
    }
}

void metric_backlog_close(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->lock);
    backlog_file_close(&b->files);
}

std::string metric_backlog_default_dir() {
    char base[kExeDirBufSize] = {};
    (void)get_exe_base_dir(base);  // on failure the folder is made relative, and may fail
    return std::string(base) + kBacklogDirSuffix;
}

uint64_t metric_backlog_instance_digest(const char* accountId, const char* productKey,
                                        const char* deviceName) {
    uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a, each text with its NUL
    for (const char* text : {accountId, productKey, deviceName}) {
        for (const char* p = text;; ++p) {
            hash = (hash ^ static_cast<uint8_t>(*p)) * 0x100000001b3ULL;
            if (*p == '\0') break;
        }
    }
    return hash == 0 ? 1 : hash;
}

void metric_backlog_set_instance(METRIC_BACKLOG_T* b, uint64_t instance) {
    const std::lock_guard<std::mutex> lock(b->lock);
    b->instance = instance;
    std::vector<BACKLOG_METRIC_T*> victims;
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (!m.resolved && !m.inFlight && m.instance != instance) victims.push_back(&m);
    }
    dropMetrics(b, victims, &b->stats.droppedInstance);
}

void metric_backlog_keep(METRIC_BACKLOG_T* b, std::vector<BACKLOG_METRIC_T> metrics,
                         uint64_t nowMs) {
    const std::lock_guard<std::mutex> lock(b->lock);
    dropOld(b, nowMs);
    uint64_t bytes = kBacklogKeepOverhead;
    for (const BACKLOG_METRIC_T& m : metrics) bytes += backlog_entry_size(m);
    // A single keep larger than the bound keeps its newest metrics.
    size_t skip = 0;
    while (skip < metrics.size() && bytes > b->maxBytes) {
        bytes -= backlog_entry_size(metrics[skip++]);
    }
    b->stats.droppedFull += skip;
    metrics.erase(metrics.begin(), metrics.begin() + static_cast<ptrdiff_t>(skip));
    if (metrics.empty()) return;
    makeRoom(b, bytes, metrics.size());
    for (BACKLOG_METRIC_T& m : metrics) {
        m.id = b->nextId++;
        m.instance = b->instance;
        m.resolved = m.inFlight = false;
    }
    if (b->onDisk && !backlog_file_keep(&b->files, &metrics, b->maxBytes)) moveToMemory(b);
    if (!b->onDisk) b->memoryBytes += bytes - kBacklogKeepOverhead;
    for (const BACKLOG_METRIC_T& m : metrics) addMetric(b, m);
    b->stats.kept += metrics.size();
}

std::vector<BACKLOG_METRIC_T> metric_backlog_take(METRIC_BACKLOG_T* b, size_t max,
                                                  uint64_t nowMs) {
    const std::lock_guard<std::mutex> lock(b->lock);
    std::vector<BACKLOG_METRIC_T> out;
    if (b->instance == 0) return out;
    dropOld(b, nowMs);
    std::unordered_set<std::string> seen;  // series whose oldest waiting metric was met
    for (BACKLOG_METRIC_T& m : b->metrics) {
        if (out.size() >= max || seen.size() >= b->series.size()) break;
        if (m.resolved) continue;
        const bool first = seen.insert(seriesKey(m.moduleName, m.metricName)).second;
        if (!first || m.inFlight) continue;
        m.inFlight = true;
        out.push_back(m);
    }
    return out;
}

void metric_backlog_resolve(METRIC_BACKLOG_T* b, const std::vector<uint64_t>& ids,
                            const std::vector<BacklogOutcome>& outcomes) {
    const std::lock_guard<std::mutex> lock(b->lock);
    std::vector<uint64_t> done;
    for (size_t i = 0; i < ids.size() && i < outcomes.size(); ++i) {
        const auto it = std::lower_bound(
            b->metrics.begin(), b->metrics.end(), ids[i],
            [](const BACKLOG_METRIC_T& m, uint64_t id) { return m.id < id; });
        if (it == b->metrics.end() || it->id != ids[i] || it->resolved) continue;
        BacklogOutcome outcome = outcomes[i];
        if (outcome == BacklogOutcome::kAuthFailed) {
            outcome = it->authRetried ? BacklogOutcome::kRefused : BacklogOutcome::kRetry;
            it->authRetried = true;
        }
        it->inFlight = false;
        if (outcome == BacklogOutcome::kRetry) {
            ++b->stats.retried;
            continue;
        }
        ++(outcome == BacklogOutcome::kUploaded ? b->stats.uploaded : b->stats.droppedRefused);
        done.push_back(ids[i]);
        markResolved(b, *it);
    }
    if (b->onDisk) writeDone(b, done);
    popResolvedFront(b);
}

bool metric_backlog_holds_series(METRIC_BACKLOG_T* b, const char* moduleName,
                                 const char* metricName) {
    const std::lock_guard<std::mutex> lock(b->lock);
    return b->series.count(seriesKey(moduleName, metricName)) != 0;
}

void metric_backlog_count_refused(METRIC_BACKLOG_T* b, uint64_t count) {
    const std::lock_guard<std::mutex> lock(b->lock);
    b->stats.droppedRefused += count;
}

BACKLOG_STATS_T metric_backlog_stats(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->lock);
    BACKLOG_STATS_T out = b->stats;
    out.metricsNow = b->live;
    out.bytesNow = bytesNow(b);
    b->stats = BACKLOG_STATS_T{};
    return out;
}

size_t metric_backlog_size(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->lock);
    return b->live;
}
