// Two-level store (module name -> metric name -> aggregate) of one upload period. Idle
// nodes are kept on free lists, so the steady state allocates nothing. No lock: the
// caller serialises every operation on one cache.
#ifndef SERVICE_MONITOR_METRIC_DATA_CACHE_H
#define SERVICE_MONITOR_METRIC_DATA_CACHE_H

#include <cstddef>
#include <cstdint>

#include "hashtable.h"

constexpr uint32_t COLLECT_RULE_UPDATE = 1;
constexpr uint32_t COLLECT_RULE_ACCUMULATE = 2;
constexpr uint32_t COLLECT_RULE_AVG = 3;

constexpr size_t kModuleNameSize = 64;
constexpr size_t kMetricNameSize = 32;
constexpr size_t kCacheBuckets = 10;
// The largest magnitude an aggregate is held at and an upload carries. The upload body
// prints numbers with 15 significant digits, and the largest double so printed
// (1.79769313486232e+308) reads back as infinity; this value prints as itself.
constexpr double kMetricValueMax = 1.79769313486231e308;

// One posted sample on its way from ingestion to the cache.
struct METRIC_MESSAGE_T {
    char moduleName[kModuleNameSize];
    char metricName[kMetricNameSize];
    uint32_t collectRule;
    double value;
};

struct CACHE_LINK_T {
    CACHE_LINK_T* next;
    CACHE_LINK_T* prev;
};

struct METRIC_NODE_T {
    HASH_NODE_T chain;
    CACHE_LINK_T link;  // in the free metric list while idle
    char metricName[kMetricNameSize];
    uint32_t collectRule;
    double value;
    int64_t count;  // samples merged this period
    bool held;      // saturated: the value stays put for the rest of the period
};

struct MODULE_NODE_T {
    HASH_NODE_T chain;
    CACHE_LINK_T link;  // in the free module list while idle
    char moduleName[kModuleNameSize];
    HASHTABLE_T metricTable;
    HASH_NODE_T* metricBuckets[kCacheBuckets];
};

struct METRIC_DATA_CACHE_T {
    HASHTABLE_T moduleTable;
    HASH_NODE_T* moduleBuckets[kCacheBuckets];
    CACHE_LINK_T freeModules;
    CACHE_LINK_T freeMetrics;
    // The module of the latest insert, or null: a request's samples share one module, and
    // the manager merges them one after another.
    MODULE_NODE_T* recentModule;
};

// callback(module name, metric name, collect rule, user data, value); result ignored.
using METRIC_ITER_FUNC_T = int (*)(const char* moduleName, const char* metricName,
                                   uint32_t collectRule, void* userData, double value);

// A new cache with 3 module and 4 metric nodes pooled, or null.
[[nodiscard]] METRIC_DATA_CACHE_T* metric_data_cache_init();
// Frees every node and the cache; null is ignored.
void metric_data_cache_deinit(METRIC_DATA_CACHE_T* cache);
// Merges the sample into its metric by the sample's rule. 0, or -1 (null argument or no
// memory for a new node).
[[nodiscard]] int insert_metric_data(METRIC_DATA_CACHE_T* cache, const METRIC_MESSAGE_T* message);
// Moves every node onto the free lists. 0, or -1 for a null cache.
int clear_metric_data(METRIC_DATA_CACHE_T* cache);
// 0 and the metric's value, or -1 when an argument is null or the names are not cached.
[[nodiscard]] int get_metric_data(const METRIC_DATA_CACHE_T* cache, const char* moduleName,
                                  const char* metricName, double* value);
// The samples merged into the cache since it was last cleared.
[[nodiscard]] uint64_t metric_data_cache_samples(const METRIC_DATA_CACHE_T* cache);
// Calls callback for every cached metric (module buckets in order, chains newest first).
void iter_metric_data(const METRIC_DATA_CACHE_T* cache, METRIC_ITER_FUNC_T callback,
                      void* userData);
// Idle module nodes on the free list.
[[nodiscard]] size_t metric_data_cache_free_modules(const METRIC_DATA_CACHE_T* cache);

#endif
