// The daemon's own health as metrics of the module "service_monitor/self": when the gateway's
// configuration asks for them, each period's end puts the counts of its summary line and the
// resident memory into the cache beside the posted samples, so they take the same road
// (upload, retries, backlog) as every other metric. They are not posted samples: the count
// of samples accepted leaves them out.
#ifndef SERVICE_MONITOR_METRIC_SELF_H
#define SERVICE_MONITOR_METRIC_SELF_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "service_monitor_metric_data_cache.h"
#include "service_monitor_metric_types.h"

// The configuration key that turns them on, read when monitoring goes on.
constexpr char kSelfMetricsKey[] = "gw_monitor_self_metrics";
constexpr char kSelfModuleName[] = "service_monitor/self";
constexpr size_t kSelfMetricCount = 9;


struct SELF_METRIC_T {
    const char* name;  // at most kMetricNameSize - 1 bytes
    double value;
};
using SELF_METRICS_T = std::array<SELF_METRIC_T, kSelfMetricCount>;

// True for the key's value "1" only; anything else, like a missing key, means off.
[[nodiscard]] bool metric_self_switch(const char* value);
// The self-metrics of a period from its tally and the resident memory in kB.
[[nodiscard]] SELF_METRICS_T metric_self_list(const METRIC_PERIOD_TALLY_T& tally, uint64_t rssKb);
// The process's resident memory in kB (/proc/self/statm); 0 when it cannot be read.
[[nodiscard]] uint64_t metric_self_rss_kb();
// Puts the self-metrics into the cache with the rule update (the caller holds the cache's
// lock). 0, or -1 when one could not be inserted (the others still are).
[[nodiscard]] int metric_self_insert(METRIC_DATA_CACHE_T* cache, const SELF_METRICS_T& metrics);

#endif
