// The upload backlog: aggregated metrics whose upload failed for a reason that may pass,
// kept oldest first until the cloud takes them, bounded in bytes and age, and kept on disk
// so that a restart or a power loss does not lose them.
//
// On disk: segment files "backlog-<16 hex digits>.seg" in one folder (0700, files 0600).
// A segment is a sequence of records, each
//   magic "SMBL" (u32) | type (u8) | 3 zero bytes | payload length (u32) | CRC-32 (u32) | payload
// little-endian, the CRC-32 (IEEE) over the payload. Two types:
//   KEEP: instance digest (u64), first id (u64), count (u32), then per metric
//         ts (u64), value (f64 bits), rule (u8), module length (u8), module,
//         metric length (u8), metric; the metrics take the ids first, first + 1, ...
//   DONE: count (u32), then ids (u64): metrics resolved (uploaded, refused or dropped).
// One KEEP per metric_backlog_keep call, written with one write and one fsync (and an fsync
// of the folder when it creates a segment). A DONE per resolving call, one write, no fsync:
// the page cache survives a killed process, so after a SIGKILL at most the uploads in
// flight are sent again; after a power loss the DONE records not yet flushed by the kernel
// are lost too and those uploads are sent again. Nothing is written while nothing is kept.
// A new segment is started once the current one holds a quarter of the byte bound; the
// oldest segment is deleted once all its metrics are resolved, or whole when the byte
// bound needs room (its metrics counted as dropped "full").
//
// At open every segment is read; a record with a bad magic, an impossible length, a CRC
// mismatch or cut short ends its segment: the file is cut at the last good record and the
// cut counted. Unknown files in the folder are left alone. When the folder cannot be used
// (missing and not creatable, read-only, full), the backlog lives in memory only, within
// the same bounds, and says so once in the log.
#ifndef SERVICE_MONITOR_METRIC_BACKLOG_H
#define SERVICE_MONITOR_METRIC_BACKLOG_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "service_monitor_metric_data_cache.h"

#ifndef SM_BACKLOG_MAX_BYTES
#define SM_BACKLOG_MAX_BYTES (8U << 20)
#endif
#ifndef SM_BACKLOG_MAX_AGE_S
#define SM_BACKLOG_MAX_AGE_S (24U * 3600U)
#endif

// The folder under the executable's base directory.
constexpr char kBacklogDirSuffix[] = "/data/service-monitor";
// What the kept metrics may take in memory, whatever the byte bound on disk.
constexpr size_t kBacklogMaxMemoryBytes = 24U << 20;

// One kept metric: what its upload needs again, the ts of its first attempt (its period's
// end) and the instance it was kept for.
struct BACKLOG_METRIC_T {
    uint64_t id = 0;
    uint64_t ts = 0;
    uint64_t instance = 0;
    char moduleName[kModuleNameSize] = {};
    char metricName[kMetricNameSize] = {};
    uint32_t collectRule = 0;
    double value = 0;
    // State inside the store.
    uint64_t segment = 0;  // seq of the segment that holds it (on disk)
    bool resolved = false;
    bool inFlight = false;
    bool authRetried = false;
};

// How an upload attempt of a kept metric ended. kAuthFailed (401/403) is tried once more,
// with a fresh credential, and refused when it comes again.
enum class BacklogOutcome { kUploaded, kRefused, kRetry, kAuthFailed };

// Counts for the period summary; the "since" ones are reset by metric_backlog_stats.
struct BACKLOG_STATS_T {
    uint64_t metricsNow = 0;
    uint64_t bytesNow = 0;
    uint64_t kept = 0;
    uint64_t retried = 0;
    uint64_t uploaded = 0;
    uint64_t droppedFull = 0;
    uint64_t droppedAge = 0;
    uint64_t droppedRefused = 0;
    uint64_t droppedInstance = 0;
    uint64_t corruptCut = 0;
};

// The file calls the store makes, replaceable by tests (a full disk, counting).
struct BACKLOG_FILE_OPS_T {
    ssize_t (*write)(int fd, const void* data, size_t size);
    int (*fsync)(int fd);
};

struct BACKLOG_SEGMENT_T {
    uint64_t seq = 0;
    uint64_t bytes = 0;
    size_t pending = 0;  // metrics kept in this segment and not resolved
};

struct METRIC_BACKLOG_T {
    std::mutex lock;  // guards everything below; never held across a network call
    std::string dir;  // empty: memory only
    bool onDisk = false;
    uint64_t maxBytes = SM_BACKLOG_MAX_BYTES;
    uint64_t maxAgeMs = uint64_t{SM_BACKLOG_MAX_AGE_S} * 1000U;
    BACKLOG_FILE_OPS_T ops{};
    uint64_t instance = 0;  // 0 until the registration is known
    uint64_t nextId = 1;
    // Oldest first, ids increasing; resolved ones stay as gaps until they reach the front.
    std::deque<BACKLOG_METRIC_T> metrics;
    size_t live = 0;  // metrics not resolved
    std::unordered_map<std::string, size_t> series;  // module NUL metric -> live count
    std::deque<BACKLOG_SEGMENT_T> segments;  // oldest first; back() is written to
    int writeFd = -1;  // the newest segment, open for appending
    uint64_t memoryBytes = 0;  // encoded size of the kept metrics (memory only)
    BACKLOG_STATS_T stats;
};

// Opens the backlog in dir (created 0700 when missing) and reads what it holds; with an
// empty dir, or when dir cannot be used, the backlog lives in memory. ops null: the real
// calls. Never fails; release with metric_backlog_close.
void metric_backlog_open(METRIC_BACKLOG_T* backlog, const std::string& dir,
                         const BACKLOG_FILE_OPS_T* ops);
void metric_backlog_close(METRIC_BACKLOG_T* backlog);
// The folder of the daemon's backlog: <base>/data/service-monitor.
[[nodiscard]] std::string metric_backlog_default_dir();
// The instance digest of an account, product key and device name: an identifier, no secret.
[[nodiscard]] uint64_t metric_backlog_instance_digest(const char* accountId,
                                                      const char* productKey,
                                                      const char* deviceName);
// Sets the current instance; kept metrics of another one are dropped ("instance").
void metric_backlog_set_instance(METRIC_BACKLOG_T* backlog, uint64_t instance);
// Keeps metrics not yet in the backlog (ids assigned here, instance the current one; a
// metric marked authRetried is refused at its next 401/403) with
// one record and one fsync; the oldest are dropped when the bounds need room.
void metric_backlog_keep(METRIC_BACKLOG_T* backlog, std::vector<BACKLOG_METRIC_T> metrics,
                         uint64_t nowMs);
// Up to max kept metrics to upload, oldest first, at most one per series (module + metric)
// and none of a series that has one in flight; marks them in flight. Drops those past the
// age bound first. Nothing before the instance is known.
[[nodiscard]] std::vector<BACKLOG_METRIC_T> metric_backlog_take(METRIC_BACKLOG_T* backlog,
                                                                size_t max, uint64_t nowMs);
// Ends the attempts of taken metrics: uploaded and refused ones leave the backlog (one DONE
// record), the others wait for the next attempt.
void metric_backlog_resolve(METRIC_BACKLOG_T* backlog, const std::vector<uint64_t>& ids,
                            const std::vector<BacklogOutcome>& outcomes);
// True when a kept metric of this series waits: a newer one must not pass it.
[[nodiscard]] bool metric_backlog_holds_series(METRIC_BACKLOG_T* backlog, const char* moduleName,
                                               const char* metricName);
// Counts metrics refused on their first attempt (never kept) with the backlog's refusals.
void metric_backlog_count_refused(METRIC_BACKLOG_T* backlog, uint64_t count);
// Copies the counts and resets the ones counted since the last call.
[[nodiscard]] BACKLOG_STATS_T metric_backlog_stats(METRIC_BACKLOG_T* backlog);
[[nodiscard]] size_t metric_backlog_size(METRIC_BACKLOG_T* backlog);

#endif
