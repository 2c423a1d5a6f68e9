// The upload backlog: aggregated metrics whose upload failed for a reason that may pass,
// kept oldest first until the cloud takes them, bounded in bytes and age, and kept on disk
// so that a restart or a power loss does not lose them.
//
// On disk (see service_monitor_metric_backlog_file.h): one KEEP record per
// metric_backlog_keep call, synced; one DONE record per resolving call, not synced. Nothing
// is written while nothing is kept. The oldest segment is deleted once all its metrics are
// resolved, or whole when the byte bound needs room (its metrics counted as dropped "full").
//
// At open every segment is read, damaged tails cut and counted. When the folder cannot be
// used (missing and not creatable, read-only, full), the backlog lives in memory only,
// within the same bounds, and says so once in the log.
#ifndef SERVICE_MONITOR_METRIC_BACKLOG_H
#define SERVICE_MONITOR_METRIC_BACKLOG_H

#include <cstddef>
#include <cstdint>
#include <deque>
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
// What the kept metrics may take in memory, whatever the byte bound on disk.
constexpr size_t kBacklogMaxMemoryBytes = 24U << 20;

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

struct METRIC_BACKLOG_T {
    std::mutex lock;  // guards everything below; never held across a network call
    bool onDisk = false;  // false: memory only
    uint64_t maxBytes = SM_BACKLOG_MAX_BYTES;
    uint64_t maxAgeMs = uint64_t{SM_BACKLOG_MAX_AGE_S} * 1000U;
    BACKLOG_FILES_T files;  // dir empty: memory only
    uint64_t instance = 0;  // 0 until the registration is known
    uint64_t nextId = 1;
    // Oldest first, ids increasing; resolved ones stay as gaps until they reach the front.
    std::deque<BACKLOG_METRIC_T> metrics;
    size_t live = 0;  // metrics not resolved
    std::unordered_map<std::string, size_t> series;  // module NUL metric -> live count
    uint64_t memoryBytes = 0;  // encoded size of the kept metrics (memory only)
    BACKLOG_STATS_T stats;
};

// Opens the backlog in dir (created 0700 when missing) and reads what it holds; with an
// empty dir, or when dir cannot be used, the backlog lives in memory. ops null: the real
// calls. Never fails; release with metric_backlog_close.
void metric_backlog_open(METRIC_BACKLOG_T* backlog, const std::string& dir,
                         const BACKLOG_FILE_OPS_T* ops);
// Closes the segment open for appending; what is kept stays on disk.
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
// The number of kept metrics still waiting (in flight ones included).
[[nodiscard]] size_t metric_backlog_size(METRIC_BACKLOG_T* backlog);

#endif
