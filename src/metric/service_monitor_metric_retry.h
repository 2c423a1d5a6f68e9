// "Send or keep", decided here alone: each round of the outbox is planned here (the oldest
// metric of each series, the series with a fresh period's metric first, then oldest first)
// and settled here: each cloud answer sorted into taken, refused for good or worth another
// try; a 401/403 asks for a fresh credential and is tried once more; the link is judged
// down only when a round gets nothing through, and then the rounds back off (jittered)
// while what waits is kept on disk. The upload room does the sending.
#ifndef SERVICE_MONITOR_METRIC_RETRY_H
#define SERVICE_MONITOR_METRIC_RETRY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service_monitor_metric_backlog.h"
#include "service_monitor_metric_pre_task.h"

// The outbox and the back-off; the upload thread's (only the backlog's counts cross threads).
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
// How many bodies the next round may carry: a batch while the link works, else a small
// probing wave.
[[nodiscard]] size_t metric_retry_round_size(const METRIC_RETRY_T* retry);
// What an upload result means (0: the cloud took it; else the HTTP status, or -1).
[[nodiscard]] BacklogOutcome metric_retry_outcome(int result);
// After a round that got nothing through: the next retry, jittered, from nowMonoMs: a
// doubling back-off when the server refused with 429/503 (overloaded), else a soon probe.
void metric_retry_back_off(METRIC_RETRY_T* retry, uint64_t nowMonoMs, bool overloaded);
// After a round that got something through: the backlog drains without pause.
void metric_retry_link_works(METRIC_RETRY_T* retry);
// True when a backlog round is due: metrics wait, and the link works or the back-off is over.
[[nodiscard]] bool metric_retry_due(METRIC_RETRY_T* retry, uint64_t nowMonoMs);
// Keeps metrics in the backlog at once (one record), logged; nothing when there are none.
void metric_retry_keep(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics, uint64_t nowMs);
// A period's metrics join the outbox, each behind what waits of its series.
void metric_retry_add(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics);
// The next round: up to metric_retry_round_size metrics of the outbox, the oldest of each
// series (those with a fresh period's metric first, then oldest first), with their ids;
// empty: none may go now.
[[nodiscard]] PERIOD_METRICS_T metric_retry_take(METRIC_RETRY_T* retry, uint64_t nowMs,
                                                 std::vector<uint64_t>* ids);
// Settles a round with the cloud's results: taken and refused metrics leave (the period's
// first refusal logged), the others wait; a 401/403 asks for a fresh credential. True when
// the cloud took or refused any (the link works); a round with nothing through backs off.
// *accepted is the number taken.
[[nodiscard]] bool metric_retry_settle(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics,
                                       const std::vector<uint64_t>& ids,
                                       const std::vector<int>& results, uint64_t nowMonoMs,
                                       size_t* accepted);
// After the rounds: every metric still waiting is kept (written), logged when any newly is.
void metric_retry_keep_waiting(METRIC_RETRY_T* retry, uint64_t nowMs);
// After a 401/403: asks for a fresh credential (it may have been revoked before its time).
void metric_retry_refresh_credential(METRIC_RETRY_T* retry);
// Before a period's uploads: a fresh credential when the one held has expired.
void metric_retry_refresh_expired_credential(METRIC_RETRY_T* retry);

#endif
