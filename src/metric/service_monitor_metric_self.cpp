#include "service_monitor_metric_self.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <numeric>

#include "common.h"
#include "raii.h"

namespace {

double _asValue(uint64_t count) { return static_cast<double>(count); }

}  // namespace

bool metric_self_switch(const char* value) { return value != nullptr && strcmp(value, "1") == 0; }

SELF_METRICS_T metric_self_list(const METRIC_PERIOD_TALLY_T& tally, uint64_t rssKb) {
    const BACKLOG_STATS_T& b = tally.backlog;
    const uint64_t refused =
        std::accumulate(tally.refused.begin(), tally.refused.end(), uint64_t{0});
    // Metrics lost for good since the previous period's end, whatever the reason.
    const uint64_t dropped = b.droppedFull + b.droppedAge + b.droppedRefused + b.droppedInstance;
    return {{
        {"samples_accepted", _asValue(tally.accepted)},
        {"requests_refused", _asValue(refused)},
        {"uploads_accepted", _asValue(tally.uploadsAccepted)},
        {"uploads_failed", _asValue(tally.uploadsFailed)},
        {"backlog_metrics", _asValue(b.metricsNow)},
        {"backlog_bytes", _asValue(b.bytesNow)},
        {"metrics_dropped", _asValue(dropped)},
        {"queue_peak_bytes", _asValue(tally.queuePeakBytes)},
        {"rss_kb", _asValue(rssKb)},
    }};
}

uint64_t metric_self_rss_kb() {
    const FilePtr file(fopen("/proc/self/statm", "re"));
    unsigned long long sizePages = 0;
    unsigned long long residentPages = 0;
    if (!file || fscanf(file.get(), "%llu %llu", &sizePages, &residentPages) != 2) return 0;
    const long pageBytes = sysconf(_SC_PAGESIZE);
    return pageBytes > 0 ? residentPages * static_cast<uint64_t>(pageBytes) / 1024U : 0;
}

int metric_self_insert(METRIC_DATA_CACHE_T* cache, const SELF_METRICS_T& metrics) {
    int result = 0;
    METRIC_MESSAGE_T message {};
    snprintf(message.moduleName, sizeof message.moduleName, "%s", kSelfModuleName);
    message.collectRule = COLLECT_RULE_UPDATE;
    for (const SELF_METRIC_T& metric : metrics) {
        snprintf(message.metricName, sizeof message.metricName, "%s", metric.name);
        message.value = metric.value;
        if (insert_metric_data(cache, &message) != 0) {
            SM_LOG(3, "insert data failed!moduleName:%s,metricName:%s\n", message.moduleName,
                   message.metricName);
            result = -1;
        }
    }
    return result;
}
