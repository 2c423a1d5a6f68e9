// The upload outbox and its backlog: every metric from its period's end until the cloud has
// it, per series (module + metric) in one queue ordered by ts. A metric arrives fresh (in
// memory); one whose upload fails for a reason that may pass, or that a down link leaves
// untried, is kept: written to disk, bounded in bytes and age, so that a restart or a power
// loss does not lose it. Each series sends its oldest metric first and one at a time, so
// every series reaches the cloud in increasing ts whatever order its metrics were kept in.
//
// The store is the upload thread's alone (at start-up and shutdown, while that thread does
// not run, the manager's owner uses it): no lock guards it, so none is held across its
// writes and fsyncs. Only the counts cross to the period's thread, under statsLock, which is
// held to copy them and nothing else.
//
// On disk (see service_monitor_metric_backlog_file.h): one KEEP write and one fsync for the
// metrics kept by one call; one DONE record per resolving call, not synced. Nothing is
// written while nothing is kept. A segment is deleted once nothing in it waits; when the
// bytes on disk pass the bound, the oldest segment goes: what still waits in it is written
// again with the next record when it is mostly resolved, else dropped (counted "full").
//
// At open every segment is read, damage skipped and counted. When the folder cannot be
// made at start, the backlog lives in memory only, within the same bounds, and says so once.
// A write that fails later keeps what is durable on disk; the metrics kept meanwhile wait in
// memory, and every later keep tries the folder again with them.
#ifndef SERVICE_MONITOR_METRIC_BACKLOG_H
#define SERVICE_MONITOR_METRIC_BACKLOG_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "service_monitor_metric_backlog_file.h"

#ifndef SM_BACKLOG_MAX_BYTES
#define SM_BACKLOG_MAX_BYTES (8U << 20)
#endif
#ifndef SM_BACKLOG_MAX_AGE_S
#define SM_BACKLOG_MAX_AGE_S (24U * 3600U)
#endif

// The folder under the executable's base directory.
constexpr char kBacklogDirSuffix[] = "/data/service-monitor";
// What the metrics of the outbox may take in memory, whatever the byte bound on disk.
constexpr size_t kBacklogMaxMemoryBytes = 24U << 20;



using BACKLOG_QUEUE_T = std::deque<BACKLOG_METRIC_T>;

struct METRIC_BACKLOG_T {
    // The upload thread's alone.
    bool onDisk = false;      // the folder takes writes now
    bool diskFailed = false;  // a write failed: the next keep tries the folder again
    uint64_t maxBytes = SM_BACKLOG_MAX_BYTES;
    uint64_t maxAgeMs = uint64_t{SM_BACKLOG_MAX_AGE_S} * 1000U;
    BACKLOG_FILES_T files;  // dir empty: memory only
    uint64_t instance = 0;  // 0 until the registration is known
    uint64_t nextId = 1;
    uint64_t newestTs = 0;  // the newest ts added, kept or recovered
    // Per series (module NUL metric), ts order; only a queue's front is ever in flight.
    std::map<std::string, BACKLOG_QUEUE_T> queues;
    std::unordered_map<uint64_t, std::string> inFlight;  // id -> series
    size_t live = 0;           // metrics in the queues
    size_t keptNow = 0;        // of them, kept
    uint64_t memoryBytes = 0;  // entry bytes of the kept ones not on disk
    size_t memoryCount = 0;    // and their number
    std::vector<uint64_t> doneOwed;  // ids resolved while the folder failed
    // Shared with the period's thread.
    std::mutex statsLock;
    BACKLOG_STATS_T stats;
};

// Opens the backlog in dir (created 0700 when missing) and reads what it holds; with an
// empty dir, or when dir cannot be used, the backlog lives in memory. ops null: the real
// calls. Never fails; release with metric_backlog_close.
void metric_backlog_open(METRIC_BACKLOG_T* backlog, const std::string& dir,
                         const BACKLOG_FILE_OPS_T* ops);
// Writes what is kept and not yet on disk (once more, when the folder failed), then closes
// the segment open for appending. What cannot be written is counted and logged as lost.
void metric_backlog_close(METRIC_BACKLOG_T* backlog);
// The folder of the daemon's backlog: <base>/data/service-monitor.
[[nodiscard]] std::string metric_backlog_default_dir();
// The instance digest of an account, product key and device name: an identifier, no secret.
[[nodiscard]] uint64_t metric_backlog_instance_digest(const char* accountId,
                                                      const char* productKey,
                                                      const char* deviceName);
// Sets the current instance; kept metrics of another one are dropped ("instance").
void metric_backlog_set_instance(METRIC_BACKLOG_T* backlog, uint64_t instance);
// Adds fresh metrics (ids assigned here, instance the current one) to their series'
// queues, in memory: nothing is written until metric_backlog_keep_waiting.
void metric_backlog_add(METRIC_BACKLOG_T* backlog, const std::vector<BACKLOG_METRIC_T>& metrics);
// Keeps every metric that waits and is not in flight, written with one record and one
// fsync (the oldest dropped when the bounds need room). The number newly kept.
size_t metric_backlog_keep_waiting(METRIC_BACKLOG_T* backlog, uint64_t nowMs);
// Adds metrics and keeps them at once (a metric marked authRetried is refused at its next
// 401/403): metric_backlog_add then metric_backlog_keep_waiting.
void metric_backlog_keep(METRIC_BACKLOG_T* backlog, const std::vector<BACKLOG_METRIC_T>& metrics,
                         uint64_t nowMs);
// Up to max metrics to upload, the head of each series: first the series that hold a fresh
// (never kept) metric, then oldest ts first; at most one per series and none of a series
// that has one in flight; marks them in flight. Drops kept ones past the age bound first.
// Nothing before the instance is known.
[[nodiscard]] std::vector<BACKLOG_METRIC_T> metric_backlog_take(METRIC_BACKLOG_T* backlog,
                                                                size_t max, uint64_t nowMs);
// Ends the attempts of taken metrics: uploaded and refused ones leave (one DONE record for
// those on disk), the others wait at the front of their series for the next attempt
// (kAuthFailed marked as tried once with a fresh credential).
void metric_backlog_resolve(METRIC_BACKLOG_T* backlog, const std::vector<uint64_t>& ids,
                            const std::vector<BacklogOutcome>& outcomes);
// True when a metric of this series waits: a newer one queues behind it.
[[nodiscard]] bool metric_backlog_holds_series(METRIC_BACKLOG_T* backlog, const char* moduleName,
                                               const char* metricName);
// Copies the counts and resets the ones counted since the last call. Any thread.
[[nodiscard]] BACKLOG_STATS_T metric_backlog_stats(METRIC_BACKLOG_T* backlog);
// The number of metrics waiting (in flight ones included).
[[nodiscard]] size_t metric_backlog_size(const METRIC_BACKLOG_T* backlog);

#endif
