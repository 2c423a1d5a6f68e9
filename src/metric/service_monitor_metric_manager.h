// The metric data manager: the record behind metric ingestion, its life cycle (threads,
// switch, credentials) and the ingestion of posted samples (request check, queueing, JSON
// reply). Each part of the record belongs to its own room: the period (manager thread),
// the upload (upload thread) and the registration (pre-tasks).
#ifndef SERVICE_MONITOR_METRIC_MANAGER_H
#define SERVICE_MONITOR_METRIC_MANAGER_H

#include <atomic>
#include <cstdint>

#include "service_monitor_metric_ingest.h"
#include "service_monitor_metric_period.h"
#include "service_monitor_metric_pre_task.h"
#include "service_monitor_metric_reply.h"
#include "service_monitor_metric_upload.h"

struct CFG_CONN_T;
struct CREDENTIAL_MSG_T;

constexpr uint32_t TS_TOLERANCE_MS = 3000;  // slack for ts on both ends of the period

struct METRIC_DATA_MANAGER_T {
    METRIC_REGISTRATION_T registration;
    METRIC_UPLOAD_T upload{&registration};
    METRIC_INGEST_T ingest;
    METRIC_PERIOD_T period{&upload, &ingest};
    std::atomic<uint32_t> enable{0};  // 1 while the metric module is switched on
};

// Checks and queues the samples of one request and writes the JSON reply into reply
// (kMetricReplyBufSize bytes). 0 when every sample was queued, else -1.
[[nodiscard]] int post_metric_data(METRIC_DATA_MANAGER_T* manager, const char* jsonText, char* reply);

// New manager (disabled, manager and upload threads running), or null.
[[nodiscard]] METRIC_DATA_MANAGER_T* metric_data_manager_init(CFG_CONN_T* cfgConn, uint64_t periodMs);
// Starts a record set up by the caller (registration.cfgConn, period.periodMs, optional
// injected clocks and cloud calls; the rest real): queue, cache, period, threads. 0, or -1
// (nothing left running).
[[nodiscard]] int metric_data_manager_start(METRIC_DATA_MANAGER_T* manager);
// Stops the manager and upload threads and waits until they have let go of the record:
// aborts the SDK handle's transfers (management calls on other threads end too), keeps
// the current period, the periods not yet uploaded and the uploads in flight in the
// backlog. Returns within about a second whatever the cloud does.
void metric_data_manager_stop(METRIC_DATA_MANAGER_T* manager);
// Stops the threads if still running, then releases the SDK handle, cache and record.
void metric_data_manager_deinit(METRIC_DATA_MANAGER_T* manager);
// Switches collection on and starts the pre-tasks. 0, or -1 (null, or a task not added).
int metric_data_manager_enable(METRIC_DATA_MANAGER_T* manager);
// Switches collection off: drops the period's samples and stops the pre-tasks. 0, or -1
// for null.
int metric_data_manager_disable(METRIC_DATA_MANAGER_T* manager);
// Hands a fresh credential to the SDK handle: 0, or -1 (null, no handle yet, refused).
[[nodiscard]] int metric_data_manager_update_credential(METRIC_DATA_MANAGER_T* manager,
                                                       const char* accessKeyId,
                                                       const char* accessKeySecret,
                                                       const char* securityToken);
// Credential callback handing a fresh credential to the manager's SDK handle: 0, or -1.
int metric_data_manager_credential_callback(const CREDENTIAL_MSG_T* credential,
                                            void* manager) noexcept;

#endif
