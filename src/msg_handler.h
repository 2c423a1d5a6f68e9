// The component handler: turns the configuration switches into running components.
#ifndef SERVICE_MONITOR_MSG_HANDLER_H
#define SERVICE_MONITOR_MSG_HANDLER_H

#include <cstdint>

#include "service_monitor.h"

struct CREDENTIAL_MSG_T;
struct TASK_NODE_T;

constexpr const char* kCredentialTaskName = "updataCredentialTask";
constexpr uint32_t kCredentialTaskIntervalMs = 300000;
// While no usable credential is held the task asks again at the pre-tasks' pace.
constexpr uint32_t kCredentialRetryMs = 15000;
constexpr uint64_t kMetricPeriodMs = 60000;

// Start-up: serial-number file, agent proxy, credential client, scheduler thread,
// metric data manager, stored switches. 0 or -1.
[[nodiscard]] int msg_handler_init(SERVICE_MONITOR_CTX_T* ctx);
// Stops the background threads that use the configuration connection, the metric data
// manager or the context (scheduler and metric manager), waiting until they let go.
// Runs at the start of the shutdown, before anything they use is released.
void msg_handler_quiesce(SERVICE_MONITOR_CTX_T* ctx);
// Teardown: agent proxy, credential client, metric data manager.
void msg_handler_deinit(SERVICE_MONITOR_CTX_T* ctx);

int msg_handler_switch_zeb(SERVICE_MONITOR_CTX_T* ctx, int32_t value);
int msg_handler_switch_dps(SERVICE_MONITOR_CTX_T* ctx, int32_t value);
int msg_handler_report_zeb_serialnum(SERVICE_MONITOR_CTX_T* ctx);
// The switch last applied successfully: 1 on, 0 off, -1 never applied or unknown key.
[[nodiscard]] int msg_handler_switch_in_force(const char* key);

int openCredentialTask(SERVICE_MONITOR_CTX_T* ctx, uint32_t intervalMs, int32_t runTimes);
int closeCredentialTask(SERVICE_MONITOR_CTX_T* ctx);
int updateCredentialTask(TASK_NODE_T* taskID, void* clientData);
int updateCredentialCallback(const CREDENTIAL_MSG_T* credential, void* clientData);
void* taskSchedulerThread(void* ctx) noexcept;

int zeb_components_init(SERVICE_MONITOR_CTX_T* ctx);
int recover_components_by_conf(SERVICE_MONITOR_CTX_T* ctx);

#endif
