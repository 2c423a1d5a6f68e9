#include "msg_handler_credential.h"

#include "common.h"
#include "dbus_message_credential.h"
#include "service_monitor_metric_manager.h"
#include "service_monitor_metric_pre_task.h"
#include "task_scheduler.h"

namespace {

bool credentialHeld() {
    CREDENTIAL_MSG_T credential {};
    return credential_get_msg(&credential) == 0 && !credential_expired(&credential, get_time_ms());
}

}  // namespace

int openCredentialTask(SERVICE_MONITOR_CTX_T* ctx, uint32_t intervalMs, int32_t runTimes) {
    TASK_NODE_T* task = findScheduleTask(kCredentialTaskName);
    if (task != nullptr) {
        SM_LOG(0, "credential task is exist and update it\n");
        uint32_t delayMs = 0;
        if (updateScheduleTask(task, nullptr, &delayMs, &intervalMs, &runTimes, nullptr, nullptr) != 0) {
            SM_LOG(2, "update task failed:run_times(%d),interval_ms(%u)\n", runTimes, intervalMs);
            return -1;
        }
        return 0;
    }
    if (addScheduleTask(kCredentialTaskName, 0, intervalMs, runTimes, updateCredentialTask, ctx) ==
        nullptr) {
        SM_LOG(2, "add %s task failed\n", kCredentialTaskName);
        return -1;
    }
    return 0;
}

int closeCredentialTask(SERVICE_MONITOR_CTX_T* /*ctx*/) {
    (void)removeScheduleTaskByName(kCredentialTaskName);
    return 0;
}

int updateCredentialTask(TASK_NODE_T* taskID, void* clientData) noexcept {
    const bool held = credentialHeld();
    if (refresh_credential(updateCredentialCallback, clientData) != 0) {
        SM_LOG(2, "update credential failed\n");
        // Without a credential nothing is accepted: ask again soon, not in 300 s.
        if (!held) {
            uint32_t retryMs = kCredentialRetryMs;
            (void)updateScheduleTask(taskID, nullptr, &retryMs, nullptr, nullptr, nullptr, nullptr);
        }
        return -1;
    }
    SM_LOG(1, "update credential success\n");
    // The cloud registration waits for a credential: let it go on at the next tick.
    if (!held) hasten_pre_tasks();
    return 0;
}

int updateCredentialCallback(const CREDENTIAL_MSG_T* credential, void* clientData) noexcept {
    auto* ctx = static_cast<SERVICE_MONITOR_CTX_T*>(clientData);
    return metric_data_manager_credential_callback(credential, ctx->metric_manager);
}
