#include "service_monitor_metric_retry.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

#include "common.h"
#include "dbus_message_credential.h"
#include "zeb-sdk.h"

namespace {

// Bodies built ahead of their upload: a round is a period of a thousand series in one go,
// so that the upload window stays full across it; a round's end drains the window once.
constexpr size_t kBodiesPerRound = 1024;
// While the link is down a round is a small wave: a batch sends its first upload alone and
// starts no other once one gets no answer, so a silent link costs one request and one
// time-out; a cloud that answers some series and not others still takes the others.
constexpr size_t kProbeBodies = 8;
// Retries between period ends after a round that got nothing through. A server that
// refused with 429/503 is given time: 15 s, doubling up to 5 min. A link that gave no
// answer at all is probed every 5 s (one request, one time-out at most), so that a link
// back is in use within seconds. Each delay is moved by up to 20 % either way so that
// gateways that lost the same link do not come back in step.
constexpr uint64_t kRetryFirstMs = 15000;
constexpr uint64_t kRetryMaxMs = 300000;
constexpr uint64_t kProbeMs = 5000;
constexpr uint64_t kRetryJitterPercent = 20;

void _logRefusal(METRIC_RETRY_T* retry, const PERIOD_METRIC_T& metric, int status) {
    if (retry->refusalLogged) return;
    retry->refusalLogged = true;
    SM_LOG(2, "upload of metric(%s/%s) refused with HTTP %d, dropped, not retried\n",
           metric.moduleName, metric.metricName, status);
}

// Copies what an upload needs between a period's metric and a kept one (same members).
template <typename To, typename From>
To _copyMetric(const From& from) {
    To to {};
    static_assert(sizeof to.moduleName == sizeof from.moduleName &&
                      sizeof to.metricName == sizeof from.metricName,
                  "the names fit");
    memcpy(to.moduleName, from.moduleName, sizeof to.moduleName);
    memcpy(to.metricName, from.metricName, sizeof to.metricName);
    to.collectRule = from.collectRule;
    to.value = from.value;
    to.ts = from.ts;
    to.authRetried = from.authRetried;
    return to;
}

std::vector<BACKLOG_METRIC_T> _toBacklog(const PERIOD_METRICS_T& metrics) {
    std::vector<BACKLOG_METRIC_T> out;
    out.reserve(metrics.size());
    for (const PERIOD_METRIC_T& m : metrics) out.push_back(_copyMetric<BACKLOG_METRIC_T>(m));
    return out;
}

// Every pre-task done. Read from their rows: dependReady is set only once a sample is
// posted, and a backlog from before a restart waits for no sample.
bool _registered(const METRIC_REGISTRATION_T* registration) {
    return registration->dependReady.load() != 0 || pre_tasks_done();
}

}  // namespace

// Once registered, the backlog learns the instance it keeps and uploads for (kept metrics
// of another one are dropped), switch or not: a period kept while the switch is off
// belongs to it too.
bool metric_retry_may_upload(METRIC_RETRY_T* retry, const std::atomic<uint32_t>* enabled) {
    METRIC_REGISTRATION_T* const registration = retry->registration;
    if (!_registered(registration) || registration->sdkHandle.load() == nullptr) return false;
    uint64_t instance = 0;
    {
        METRIC_NAMES_T& names = registration->names;
        const std::lock_guard<std::mutex> lock(names.lock);
        instance = metric_backlog_instance_digest(names.accountId, names.productKey,
                                                  names.deviceName);
    }
    METRIC_BACKLOG_T* const backlog = &retry->backlog;
    if (instance != backlog->instance) metric_backlog_set_instance(backlog, instance);
    return enabled == nullptr || enabled->load() != 0;
}

size_t metric_retry_round_size(const METRIC_RETRY_T* retry) {
    return retry->linkUp ? kBodiesPerRound : kProbeBodies;
}

// From CloudSdkPostMetricDataMany's result (0: any 2xx).
BacklogOutcome metric_retry_outcome(int result) {
    if (result == 0) return BacklogOutcome::kUploaded;
    if (result == 401 || result == 403) return BacklogOutcome::kAuthFailed;
    // A redirect is not followed (the signed POST would go elsewhere) and will not change:
    // refused like the other 4xx. No answer, a server fault or 429 may pass.
    if (result >= 300 && result < 500 && result != 429) return BacklogOutcome::kRefused;
    return BacklogOutcome::kRetry;
}

void metric_retry_back_off(METRIC_RETRY_T* retry, uint64_t nowMonoMs, bool overloaded) {
    static thread_local std::minstd_rand random(static_cast<unsigned>(get_monotonic_ms()));
    if (overloaded) {
        retry->retryDelayMs = retry->retryDelayMs < kRetryFirstMs
                                  ? kRetryFirstMs
                                  : std::min(kRetryMaxMs, retry->retryDelayMs * 2);
    } else {
        retry->retryDelayMs = kProbeMs;
    }
    const uint64_t spread = retry->retryDelayMs * kRetryJitterPercent / 100;
    const uint64_t delay = retry->retryDelayMs - spread + random() % (2 * spread + 1);
    retry->nextRetryMonoMs = nowMonoMs + delay;
    retry->linkUp = false;
}

void metric_retry_link_works(METRIC_RETRY_T* retry) {
    retry->retryDelayMs = 0;
    retry->linkUp = true;
}

bool metric_retry_due(METRIC_RETRY_T* retry, uint64_t nowMonoMs) {
    return (retry->linkUp || nowMonoMs >= retry->nextRetryMonoMs) &&
           metric_backlog_size(&retry->backlog) != 0;
}

void metric_retry_keep(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics, uint64_t nowMs) {
    if (metrics.empty()) return;
    metric_retry_add(retry, metrics);
    metric_retry_keep_waiting(retry, nowMs);
}

void metric_retry_add(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics) {
    metric_backlog_add(&retry->backlog, _toBacklog(metrics));
}

void metric_retry_keep_waiting(METRIC_RETRY_T* retry, uint64_t nowMs) {
    const size_t kept = metric_backlog_keep_waiting(&retry->backlog, nowMs);
    if (kept != 0) SM_LOG(2, "upload failed, %zu metrics kept in the backlog\n", kept);
}

PERIOD_METRICS_T metric_retry_take(METRIC_RETRY_T* retry, uint64_t nowMs,
                                   std::vector<uint64_t>* ids) {
    const std::vector<BACKLOG_METRIC_T> taken =
        metric_backlog_take(&retry->backlog, metric_retry_round_size(retry), nowMs);
    PERIOD_METRICS_T metrics;
    for (const BACKLOG_METRIC_T& m : taken) {
        metrics.push_back(_copyMetric<PERIOD_METRIC_T>(m));
        ids->push_back(m.id);
    }
    return metrics;
}

bool metric_retry_settle(METRIC_RETRY_T* retry, const PERIOD_METRICS_T& metrics,
                         const std::vector<uint64_t>& ids, const std::vector<int>& results,
                         uint64_t nowMonoMs, size_t* accepted) {
    std::vector<BacklogOutcome> outcomes;
    bool auth = false;
    bool overloaded = false;
    *accepted = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        overloaded = overloaded || cloudSdkOverloaded(results[i]);
        BacklogOutcome outcome = metric_retry_outcome(results[i]);
        // A 401/403 again after a fresh credential will not pass.
        if (outcome == BacklogOutcome::kAuthFailed && metrics[i].authRetried) {
            outcome = BacklogOutcome::kRefused;
        }
        *accepted += outcome == BacklogOutcome::kUploaded ? 1 : 0;
        auth = auth || outcome == BacklogOutcome::kAuthFailed;
        if (outcome == BacklogOutcome::kRefused) _logRefusal(retry, metrics[i], results[i]);
        outcomes.push_back(outcome);
    }
    const size_t keptBefore = retry->backlog.keptNow;
    metric_backlog_resolve(&retry->backlog, ids, outcomes);
    if (auth) metric_retry_refresh_credential(retry);
    const bool through = std::any_of(outcomes.begin(), outcomes.end(), [](BacklogOutcome o) {
        return o == BacklogOutcome::kUploaded || o == BacklogOutcome::kRefused;
    });
    if (!through) {
        metric_retry_back_off(retry, nowMonoMs, overloaded);
        return false;
    }
    metric_retry_link_works(retry);
    if (keptBefore != 0 && retry->backlog.keptNow == 0) SM_LOG(1, "upload backlog drained\n");
    return true;
}

namespace {

void _refreshCredential(METRIC_RETRY_T* retry, const char* successLine) {
    if (refresh_credential(metric_registration_credential_callback, retry->registration) == 0) {
        SM_LOG(1, "%s\n", successLine);
    } else {
        SM_LOG(2, "update credential failed\n");
    }
}

}  // namespace

void metric_retry_refresh_credential(METRIC_RETRY_T* retry) {
    _refreshCredential(retry, "upload refused as unauthorised, credential updated");
}

void metric_retry_refresh_expired_credential(METRIC_RETRY_T* retry) {
    CREDENTIAL_MSG_T credential {};
    if (credential_get_msg(&credential) != 0) {
        SM_LOG(2, "get credential failed\n");
        return;
    }
    if (credential_expired(&credential, get_time_ms())) {
        _refreshCredential(retry, "update credential success");
    }
}

