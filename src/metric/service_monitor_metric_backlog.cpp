#include "service_monitor_metric_backlog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common.h"

namespace {

std::string seriesKey(const char* moduleName, const char* metricName) {
    std::string key(moduleName);
    key.push_back('\0');
    key.append(metricName);
    return key;
}

bool before(const BACKLOG_METRIC_T& x, const BACKLOG_METRIC_T& y) {
    return std::tie(x.ts, x.id) < std::tie(y.ts, y.id);
}

void bump(METRIC_BACKLOG_T* b, uint64_t BACKLOG_STATS_T::*counter, uint64_t n) {
    if (n == 0) return;
    const std::lock_guard<std::mutex> lock(b->statsLock);
    b->stats.*counter += n;
}

uint64_t fileBytes(const METRIC_BACKLOG_T* b) { return backlog_file_bytes(&b->files); }

uint64_t bytesNow(const METRIC_BACKLOG_T* b) {
    return fileBytes(b) + backlog_records_bytes(b->memoryBytes, b->memoryCount);
}

// A kept metric joins (+1) or leaves (-1) those held in memory only.
void countInMemory(METRIC_BACKLOG_T* b, const BACKLOG_METRIC_T& m, int sign) {
    b->memoryBytes += sign > 0 ? backlog_entry_size(m) : 0 - backlog_entry_size(m);
    b->memoryCount += sign > 0 ? 1 : static_cast<size_t>(-1);
}

void publish(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->statsLock);
    b->stats.metricsNow = b->keptNow;
    b->stats.bytesNow = bytesNow(b);
}

// A kept metric whose record is still to be written.
bool unwritten(const BACKLOG_METRIC_T& m) {
    return m.kept && m.segment == 0 && !m.inFlight && !m.evicted;
}

// Takes a metric's share out of the counts before it leaves its queue.
void forget(METRIC_BACKLOG_T* b, const BACKLOG_METRIC_T& m) {
    --b->live;
    if (!m.kept) return;
    --b->keptNow;
    if (m.segment != 0) {
        backlog_file_resolved(&b->files, m.segment);
    } else if (!m.evicted) {
        countInMemory(b, m, -1);
    }
}

void insertSorted(METRIC_BACKLOG_T* b, const BACKLOG_METRIC_T& m) {
    BACKLOG_QUEUE_T& queue = b->queues[seriesKey(m.moduleName, m.metricName)];
    queue.insert(std::upper_bound(queue.begin(), queue.end(), m, before), m);
    ++b->live;
    b->newestTs = std::max(b->newestTs, m.ts);
    if (!m.kept) return;
    ++b->keptNow;
    if (m.segment == 0) countInMemory(b, m, +1);
}

void writeDone(METRIC_BACKLOG_T* b, const std::vector<uint64_t>& ids);

// Removes every metric not in flight for which drop(m) holds; the number removed.
template <typename Drop>
size_t removeWhere(METRIC_BACKLOG_T* b, Drop drop) {
    std::vector<uint64_t> done;
    size_t removed = 0;
    for (auto it = b->queues.begin(); it != b->queues.end();) {
        BACKLOG_QUEUE_T& queue = it->second;
        const auto gone = std::stable_partition(queue.begin(), queue.end(), [&](const auto& m) {
            return m.inFlight || !drop(m);
        });
        for (auto m = gone; m != queue.end(); ++m) {
            if (m->segment != 0) done.push_back(m->id);
            forget(b, *m);
            ++removed;
        }
        queue.erase(gone, queue.end());
        it = queue.empty() ? b->queues.erase(it) : std::next(it);
    }
    writeDone(b, done);
    return removed;
}

bool tooOld(const METRIC_BACKLOG_T* b, const BACKLOG_METRIC_T& m, uint64_t nowMs) {
    return m.kept && m.ts + b->maxAgeMs < nowMs;
}

void dropOld(METRIC_BACKLOG_T* b, uint64_t nowMs) {
    // The oldest of a series stand first: a look at the fronts tells whether any is due.
    const bool due = std::any_of(b->queues.begin(), b->queues.end(), [&](const auto& entry) {
        return tooOld(b, entry.second.front(), nowMs);
    });
    if (!due) return;
    bump(b, &BACKLOG_STATS_T::droppedAge, removeWhere(b, [&](const BACKLOG_METRIC_T& m) {
             return tooOld(b, m, nowMs);
         }));
}

// The kept metrics that may go for room, oldest first.
std::vector<const BACKLOG_METRIC_T*> oldestKept(const METRIC_BACKLOG_T* b, bool unwrittenOnly) {
    std::vector<const BACKLOG_METRIC_T*> out;
    for (const auto& entry : b->queues) {
        for (const BACKLOG_METRIC_T& m : entry.second) {
            if (m.kept && !m.inFlight && (!unwrittenOnly || unwritten(m))) out.push_back(&m);
        }
    }
    std::sort(out.begin(), out.end(), [](auto* x, auto* y) { return before(*x, *y); });
    return out;
}

// Drops the oldest kept metrics (of those not yet written, when unwrittenOnly) until the
// bytes fit maxBytes and the metrics maxLive; counted as dropped "full".
void dropOldest(METRIC_BACKLOG_T* b, bool unwrittenOnly, uint64_t maxBytes, size_t maxLive) {
    uint64_t bytes = b->memoryBytes;
    size_t count = b->memoryCount;
    size_t live = b->live;
    const auto over = [&] {
        return fileBytes(b) + backlog_records_bytes(bytes, count) > maxBytes || live > maxLive;
    };
    if (!over()) return;
    std::vector<uint64_t> victims;
    for (const BACKLOG_METRIC_T* m : oldestKept(b, unwrittenOnly)) {
        if (!over()) break;
        victims.push_back(m->id);
        if (m->segment == 0) {
            bytes -= backlog_entry_size(*m);
            --count;
        }
        --live;
    }
    std::sort(victims.begin(), victims.end());
    bump(b, &BACKLOG_STATS_T::droppedFull, removeWhere(b, [&](const BACKLOG_METRIC_T& m) {
             return std::binary_search(victims.begin(), victims.end(), m.id);
         }));
}

// Lets the oldest segment go for room. When what is kept fits the bound, the disk is over
// it only with records of metrics gone (DONE records, resolved KEEPs): what still waits in
// the segment is written again with the next record. Else the oldest must go: it is
// dropped, and a metric of it in flight is dropped unless the cloud takes it (counted then).
void releaseOldestSegment(METRIC_BACKLOG_T* b) {
    const uint64_t seq = backlog_file_oldest(&b->files);
    uint64_t keptBytes = 0;
    size_t kept = 0;
    for (const auto& entry : b->queues) {
        for (const BACKLOG_METRIC_T& m : entry.second) {
            if (!m.kept || m.evicted) continue;
            keptBytes += backlog_entry_size(m);
            ++kept;
        }
    }
    const bool rewrite = backlog_records_bytes(keptBytes, kept) <= b->maxBytes;
    size_t dropped = 0;
    for (auto& entry : b->queues) {
        for (BACKLOG_METRIC_T& m : entry.second) {
            if (m.segment != seq) continue;
            m.segment = 0;
            if (rewrite) {
                countInMemory(b, m, +1);
            } else {
                m.evicted = true;  // no DONE record: its segment goes
                dropped += m.inFlight ? 0 : 1;
            }
        }
    }
    backlog_file_release_oldest(&b->files);
    if (dropped != 0) {
        (void)removeWhere(b, [](const BACKLOG_METRIC_T& m) { return m.evicted; });
        bump(b, &BACKLOG_STATS_T::droppedFull, dropped);
    }
}

// Makes the bounds hold: segments go oldest first while the disk is over its bound, then
// the oldest kept metrics while memory is.
void makeRoom(METRIC_BACKLOG_T* b) {
    while (b->onDisk && backlog_file_oldest(&b->files) != 0 && bytesNow(b) > b->maxBytes) {
        releaseOldestSegment(b);
    }
    dropOldest(b, true, b->maxBytes, SIZE_MAX);
    dropOldest(b, false, UINT64_MAX, kBacklogMaxMemoryBytes / sizeof(BACKLOG_METRIC_T));
}

// Writes the kept metrics not on disk yet as one record (ids renumbered in a row, which no
// record has seen). A failed write keeps them in memory; the next call tries again.
void writeKept(METRIC_BACKLOG_T* b) {
    if (!backlog_file_enabled(&b->files) || (!b->onDisk && !b->diskFailed)) return;
    std::vector<BACKLOG_METRIC_T*> pending;
    for (auto& entry : b->queues) {
        for (BACKLOG_METRIC_T& m : entry.second) {
            if (unwritten(m)) pending.push_back(&m);
        }
    }
    if (pending.empty()) return;
    std::sort(pending.begin(), pending.end(), [](auto* x, auto* y) { return before(*x, *y); });
    std::vector<BACKLOG_METRIC_T> batch;
    batch.reserve(pending.size());
    for (BACKLOG_METRIC_T* m : pending) {
        m->id = b->nextId++;
        batch.push_back(*m);
    }
    b->onDisk = backlog_file_keep(&b->files, &batch, b->maxBytes);
    b->diskFailed = !b->onDisk;
    if (!b->onDisk) return;
    for (size_t i = 0; i < pending.size(); ++i) {
        pending[i]->segment = batch[i].segment;
        countInMemory(b, *pending[i], -1);
    }
}

void persist(METRIC_BACKLOG_T* b) {
    makeRoom(b);
    writeKept(b);
    if (b->onDisk && !b->doneOwed.empty()) writeDone(b, {});
    publish(b);
}

// DONE records count against the disk's bound too: after the calls that write them, room
// is made when they pushed the segments past it.
void holdDiskBound(METRIC_BACKLOG_T* b) {
    if (b->onDisk && fileBytes(b) + kBacklogKeepOverhead > b->maxBytes) persist(b);
}

// A DONE record for metrics that leave. While the folder fails they are owed, and written
// once it works again: else a restart would send those metrics again.
void writeDone(METRIC_BACKLOG_T* b, const std::vector<uint64_t>& ids) {
    b->doneOwed.insert(b->doneOwed.end(), ids.begin(), ids.end());
    if (b->doneOwed.empty() || !b->onDisk) return;
    b->onDisk = backlog_file_done(&b->files, b->doneOwed, b->maxBytes);
    b->diskFailed = !b->onDisk;
    if (b->onDisk) b->doneOwed.clear();
    backlog_file_delete_resolved(&b->files);
}

void recover(METRIC_BACKLOG_T* b) {
    uint64_t lastId = 0;
    uint64_t cut = 0;
    const std::vector<BACKLOG_METRIC_T> waiting = backlog_file_recover(&b->files, &lastId, &cut);
    for (BACKLOG_METRIC_T m : waiting) {
        m.kept = true;
        insertSorted(b, m);
    }
    b->nextId = lastId + 1;
    bump(b, &BACKLOG_STATS_T::corruptCut, cut);
    if (b->live != 0) SM_LOG(1, "backlog: %zu metrics kept from before\n", b->live);
}

}  // namespace

void metric_backlog_open(METRIC_BACKLOG_T* b, const std::string& dir,
                         const BACKLOG_FILE_OPS_T* ops) {
    backlog_file_init(&b->files, dir, ops);
    const BACKLOG_FILE_OPS_T calls = ops != nullptr ? *ops : BACKLOG_FILE_OPS_T{};
    b->onDisk = !dir.empty() && backlog_file_prepare_dir(dir, calls);
    if (b->onDisk) {
        recover(b);
    } else if (!dir.empty()) {
        SM_LOG(2, "backlog folder %s unusable (create: %s), backlog kept in memory only\n",
               dir.c_str(), strerror(errno));
    }
    publish(b);
}

void metric_backlog_close(METRIC_BACKLOG_T* b) {
    (void)metric_backlog_keep_waiting(b, 0);
    size_t lost = 0;
    for (const auto& entry : b->queues) {
        lost += static_cast<size_t>(std::count_if(entry.second.begin(), entry.second.end(),
                                                  [](const auto& m) { return m.segment == 0; }));
    }
    if (lost != 0 && backlog_file_enabled(&b->files)) {
        SM_LOG(2, "backlog: %zu metrics lost at stop, the folder cannot be written\n", lost);
        bump(b, &BACKLOG_STATS_T::lostAtStop, lost);
    }
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
    b->instance = instance;
    bump(b, &BACKLOG_STATS_T::droppedInstance, removeWhere(b, [&](const BACKLOG_METRIC_T& m) {
             return m.instance != instance;
         }));
    holdDiskBound(b);
    publish(b);
}

void metric_backlog_add(METRIC_BACKLOG_T* b, const std::vector<BACKLOG_METRIC_T>& metrics) {
    for (BACKLOG_METRIC_T m : metrics) {
        m.id = b->nextId++;
        m.instance = b->instance;
        m.segment = 0;
        m.inFlight = m.kept = m.evicted = false;
        insertSorted(b, m);
    }
}

size_t metric_backlog_keep_waiting(METRIC_BACKLOG_T* b, uint64_t nowMs) {
    dropOld(b, nowMs);
    // Between the rounds of a drain nothing is fresh and nothing waits to be written.
    if (b->live == b->keptNow && b->memoryBytes == 0) return 0;
    size_t newly = 0;
    for (auto& entry : b->queues) {
        for (BACKLOG_METRIC_T& m : entry.second) {
            if (m.kept || m.inFlight) continue;
            m.kept = true;
            ++b->keptNow;
            countInMemory(b, m, +1);
            ++newly;
        }
    }
    bump(b, &BACKLOG_STATS_T::kept, newly);
    persist(b);
    return newly;
}

void metric_backlog_keep(METRIC_BACKLOG_T* b, const std::vector<BACKLOG_METRIC_T>& metrics,
                         uint64_t nowMs) {
    metric_backlog_add(b, metrics);
    (void)metric_backlog_keep_waiting(b, nowMs);
}

std::vector<BACKLOG_METRIC_T> metric_backlog_take(METRIC_BACKLOG_T* b, size_t max,
                                                  uint64_t nowMs) {
    std::vector<BACKLOG_METRIC_T> out;
    if (b->instance == 0) return out;
    dropOld(b, nowMs);
    std::unordered_set<std::string> busy;
    for (const auto& flight : b->inFlight) busy.insert(flight.second);
    // Series with a period that has just ended waiting (a fresh metric, always at the back)
    // go first: live data is not held behind the backlog of series it does not belong to.
    struct Head {
        BACKLOG_METRIC_T* metric;
        bool live;
    };
    std::vector<Head> heads;
    for (auto& entry : b->queues) {
        if (busy.count(entry.first) != 0) continue;
        heads.push_back({&entry.second.front(), !entry.second.back().kept});
    }
    const size_t count = std::min(max, heads.size());
    std::partial_sort(heads.begin(), heads.begin() + static_cast<ptrdiff_t>(count), heads.end(),
                      [](const Head& x, const Head& y) {
                          return x.live != y.live ? x.live : before(*x.metric, *y.metric);
                      });
    for (size_t i = 0; i < count; ++i) {
        BACKLOG_METRIC_T* const head = heads[i].metric;
        head->inFlight = true;
        b->inFlight.emplace(head->id, seriesKey(head->moduleName, head->metricName));
        out.push_back(*head);
    }
    publish(b);
    return out;
}

void metric_backlog_resolve(METRIC_BACKLOG_T* b, const std::vector<uint64_t>& ids,
                            const std::vector<BacklogOutcome>& outcomes) {
    std::vector<uint64_t> done;
    for (size_t i = 0; i < ids.size() && i < outcomes.size(); ++i) {
        const auto flight = b->inFlight.find(ids[i]);
        if (flight == b->inFlight.end()) continue;
        const auto series = b->queues.find(flight->second);
        b->inFlight.erase(flight);
        if (series == b->queues.end()) continue;
        BACKLOG_QUEUE_T& queue = series->second;
        const auto it = std::find_if(queue.begin(), queue.end(),
                                     [&](const auto& m) { return m.id == ids[i]; });
        if (it == queue.end()) continue;
        it->inFlight = false;
        BacklogOutcome outcome = outcomes[i];
        if (outcome == BacklogOutcome::kAuthFailed) {
            it->authRetried = true;
            outcome = BacklogOutcome::kRetry;
        }
        if (outcome == BacklogOutcome::kRetry && !it->evicted) {
            bump(b, &BACKLOG_STATS_T::retried, it->kept ? 1 : 0);
            continue;
        }
        if (outcome == BacklogOutcome::kUploaded) {
            bump(b, &BACKLOG_STATS_T::uploaded, it->kept ? 1 : 0);
        } else {
            bump(b, outcome == BacklogOutcome::kRefused ? &BACKLOG_STATS_T::droppedRefused
                                                        : &BACKLOG_STATS_T::droppedFull,
                 1);
        }
        if (it->segment != 0) done.push_back(it->id);
        forget(b, *it);
        queue.erase(it);
        if (queue.empty()) b->queues.erase(series);
    }
    writeDone(b, done);
    holdDiskBound(b);
    publish(b);
}

bool metric_backlog_holds_series(METRIC_BACKLOG_T* b, const char* moduleName,
                                 const char* metricName) {
    return b->queues.count(seriesKey(moduleName, metricName)) != 0;
}

BACKLOG_STATS_T metric_backlog_stats(METRIC_BACKLOG_T* b) {
    const std::lock_guard<std::mutex> lock(b->statsLock);
    BACKLOG_STATS_T out = b->stats;
    b->stats = BACKLOG_STATS_T{};
    b->stats.metricsNow = out.metricsNow;
    b->stats.bytesNow = out.bytesNow;
    return out;
}

size_t metric_backlog_size(const METRIC_BACKLOG_T* b) { return b->live; }
