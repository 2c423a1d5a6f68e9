// The credential task: a scheduled task that refreshes the gateway credential while the
// ZEB switch is on and hands each new one to the metric data manager.
#ifndef SERVICE_MONITOR_MSG_HANDLER_CREDENTIAL_H
#define SERVICE_MONITOR_MSG_HANDLER_CREDENTIAL_H

#include <cstdint>

#include "service_monitor_context.h"

struct CREDENTIAL_MSG_T;
struct TASK_NODE_T;

constexpr const char* kCredentialTaskName = "updataCredentialTask";
constexpr uint32_t kCredentialTaskIntervalMs = 300000;
// While no usable credential is held the task asks again at the pre-tasks' pace.
constexpr uint32_t kCredentialRetryMs = 15000;

// Adds the task, due at the next tick, or makes the one already there due then with this
// interval and run count. 0 or -1.
int openCredentialTask(SERVICE_MONITOR_CTX_T* ctx, uint32_t intervalMs, int32_t runTimes);
// Always 0.
int closeCredentialTask(SERVICE_MONITOR_CTX_T* ctx);
// The task function: one refresh; clientData is the context.
int updateCredentialTask(TASK_NODE_T* taskID, void* clientData) noexcept;
// Hands a new credential to the metric data manager of the context in clientData.
int updateCredentialCallback(const CREDENTIAL_MSG_T* credential, void* clientData) noexcept;

#endif
