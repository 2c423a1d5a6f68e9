// The retries of failed uploads: each cloud answer sorted into accepted, refused for good or
// worth another try; what may pass is kept in the backlog and tried again in backlog rounds,
// between period ends after a jittered back-off, at once and continuously while the link
// works. A 401/403 asks for a fresh credential and is tried once more. The upload room does
// the sending; this room decides what the answers mean.
#ifndef SERVICE_MONITOR_METRIC_RETRY_H
#define SERVICE_MONITOR_METRIC_RETRY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service_monitor_metric_backlog.h"
#include "service_monitor_metric_data_cache.h"
#include "service_monitor_metric_pre_task.h"

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

// What the rounds of one period leave behind.
struct PERIOD_OUTCOME_T {
    size_t accepted = 0;
    size_t refused = 0;
    bool auth = false;  // a 401/403 came: the credential wants refreshing
    PERIOD_METRICS_T keep;
};

// The backlog and the back-off; used by the upload thread only (the backlog has its lock).
struct METRIC_RETRY_T {
    explicit METRIC_RETRY_T(METRIC_REGISTRATION_T* owner) : registration(owner) {}

    METRIC_REGISTRATION_T* const registration;  // refreshed on 401/403, not owned
    METRIC_BACKLOG_T backlog;
    // The back-off between period ends, and whether the link was seen working by the last
    // round (the backlog then drains without pause).
    uint64_t retryDelayMs = 0;
    uint64_t nextRetryMonoMs = 0;
    bool linkUp = true;
    bool refusalLogged = false;  // the current period's refusal line is out
};

// True when uploads may go: the gateway registered, the SDK up and enabled null or not 0.
// Once registered, kept metrics of another instance are dropped.
[[nodiscard]] bool metric_retry_may_upload(METRIC_RETRY_T* retry,
                                           const std::atomic<uint32_t>* enabled);
// How many bodies the next round may carry: a batch while the link works, else one wave.
[[nodiscard]] size_t metric_retry_round_size(const METRIC_RETRY_T* retry);
// Sorts a round's results on metrics[from...] into out: accepted, refused for good (the
// period's first refusal logged), or kept (a 401/403 once, the second time refused).
void metric_retry_sort_round(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics,
                             size_t from, const std::vector<int>& results, PERIOD_OUTCOME_T* out);
// After a round that got nothing through: the next back-off delay, jittered, from nowMonoMs.
void metric_retry_back_off(METRIC_RETRY_T* retry, uint64_t nowMonoMs);
// After a round that got something through: the backlog drains without pause.
void metric_retry_link_works(METRIC_RETRY_T* retry);
// True when a backlog round is due: metrics wait, and the link works or the back-off is over.
[[nodiscard]] bool metric_retry_due(METRIC_RETRY_T* retry, uint64_t nowMonoMs);
// Keeps metrics in the backlog as one record, logged; nothing when there are none.
void metric_retry_keep(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics, uint64_t nowMs);
// The kept metrics of the next backlog round, oldest first, with their ids; empty: none due.
[[nodiscard]] PERIOD_METRICS_T metric_retry_take(METRIC_RETRY_T* retry, uint64_t nowMs,
                                                 std::vector<uint64_t>* ids);
// Ends a backlog round with the cloud's results: true when the cloud took or refused any;
// *accepted is the number it took.
[[nodiscard]] bool metric_retry_settle(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics,
                                       const std::vector<uint64_t>& ids,
                                       const std::vector<int>& results, uint64_t nowMonoMs,
                                       size_t* accepted);
// After a 401/403: asks for a fresh credential (it may have been revoked before its time).
void metric_retry_refresh_credential(METRIC_RETRY_T* retry);
// Before a period's uploads: a fresh credential when the one held has expired.
void metric_retry_refresh_expired_credential(METRIC_RETRY_T* retry);

#endif
