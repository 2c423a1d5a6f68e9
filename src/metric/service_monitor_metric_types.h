// The metric subsystem's shared records, below every room that passes them on: a period's
// metrics, a kept metric, what an upload attempt means, the counts a period's end reads.
// Records only; each room's own state stays with it.
#ifndef SERVICE_MONITOR_METRIC_TYPES_H
#define SERVICE_MONITOR_METRIC_TYPES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service_monitor_metric_data_cache.h"
#include "service_monitor_metric_reply.h"

struct CloudSdkClient;

using CLOCK_MS_FUNC_T = uint64_t (*)();
// CloudSdkPostMetricDataMany's shape: results[i] 0, an HTTP status or -1; the number accepted.
using UPLOAD_MANY_FUNC_T = size_t (*)(CloudSdkClient* client, const char* const* bodies,
                                      size_t count, int timeoutSeconds, int* results);

// One aggregated metric taken out of the cache at a period's end. The upload works on
// this copy, so the cache lock is never held across a network request.
struct PERIOD_METRIC_T {
    char moduleName[kModuleNameSize];
    char metricName[kMetricNameSize];
    uint32_t collectRule;
    double value;
    uint64_t ts;  // the body's ts: its period's end, whenever it is uploaded
    bool authRetried;  // refused with 401/403 once already
};
using PERIOD_METRICS_T = std::vector<PERIOD_METRIC_T>;

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
    uint64_t segment = 0;  // seq of the segment that holds it (0: not on disk)
    bool inFlight = false;
    bool authRetried = false;
    bool kept = false;     // failed once, or left untried by a down link, or recovered
    bool evicted = false;  // in flight when the bounds took its segment: dropped unless taken
};

// How an upload attempt ended. kAuthFailed (401/403) is tried once more, with a fresh
// credential; the retry room refuses it when it comes again.
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
    uint64_t lostAtStop = 0;
};

// What the upload leaves for a period's end: its attempts since the previous end, and the
// backlog's counts.
struct METRIC_UPLOAD_COUNTS_T {
    uint64_t accepted = 0;
    uint64_t failed = 0;
    BACKLOG_STATS_T backlog;
};

// The counts of one period's end, read once (the "since" ones reset as they are read): the
// summary line and the self-metrics are both made from this copy, so they agree.
struct METRIC_PERIOD_TALLY_T {
    uint64_t accepted = 0;          // samples queued
    uint64_t droppedByDisable = 0;  // samples
    std::array<uint64_t, kMetricRefusalCodes.size()> refused{};  // requests, per reply code
    size_t queuePeakBytes = 0;
    uint64_t uploadsAccepted = 0;  // attempts finished since the previous period's end
    uint64_t uploadsFailed = 0;
    BACKLOG_STATS_T backlog;
};

#endif
