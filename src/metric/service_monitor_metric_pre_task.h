// The registration pre-tasks: three scheduler tasks that read the gateway's names and
// register it with the cloud monitoring service before any sample is taken, and the record
// of what they found (names, SDK handle), which the uploads read.
#ifndef SERVICE_MONITOR_METRIC_PRE_TASK_H
#define SERVICE_MONITOR_METRIC_PRE_TASK_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "task_scheduler.h"

struct CloudSdkClient;
struct CFG_CONN_T;
struct CREDENTIAL_MSG_T;

using ABORT_FUNC_T = void (*)(CloudSdkClient* client);
// cfgGetConfig's shape: 0 when the key's value was copied into buf.
using CONFIG_READ_FUNC_T = int (*)(CFG_CONN_T* conn, const char* key, char* buf, int size);

// The names the pre-tasks read and form. Written by the pre-tasks (scheduler thread) and
// read by the uploads (upload thread): both sides hold lock.
struct METRIC_NAMES_T {
    std::mutex lock;
    char productKey[32] = {};
    char deviceName[32] = {};
    char accountId[128] = {};
    char groupId[64] = {};
    char instanceName[128] = {};
    char instanceId[128] = {};
};

// What the registration needs and what it leaves behind.
struct METRIC_REGISTRATION_T {
    CFG_CONN_T* cfgConn = nullptr;           // not owned
    CONFIG_READ_FUNC_T readConfig = nullptr;  // cfgGetConfig unless a test injects one
    ABORT_FUNC_T abortTransfers = nullptr;    // CloudSdkAbort unless injected
    // Owned. Created by the SDK pre-task on the scheduler thread, read by the upload thread
    // and by credential updates.
    std::atomic<CloudSdkClient*> sdkHandle{nullptr};
    // Set once at shutdown: a handle made afterwards is aborted at once.
    std::atomic<bool> closing{false};
    std::atomic<uint32_t> dependReady{0};  // 1 once every pre-task is done
    // The daemon's own metrics are wanted: read with the account id, set once registered,
    // cleared whenever the pre-tasks start or stop.
    std::atomic<bool> selfMetrics{false};
    METRIC_NAMES_T names;
};

// One pre-task; scheduled under its name with its own row as client data. A run records
// pre_task_generation() when it starts and marks its row done only through
// mark_pre_task_done, so a run that outlived a disable never marks a later enable's row.
struct PRE_TASK_T {
    std::atomic<bool> done;
    const char* name;
    TASK_FUNC_T func;
    uint32_t intervalMs;
    // Set when the tasks are started and kept afterwards: a task function may still be
    // running on the scheduler thread when the main thread stops or restarts the tasks.
    std::atomic<METRIC_REGISTRATION_T*> registration;
};

constexpr size_t kPreTaskNum = 3;
extern PRE_TASK_T g_preTasks[kPreTaskNum];

// Sets the config reader and the abort call to the real ones where left null.
void metric_registration_use_defaults(METRIC_REGISTRATION_T* registration);
// Shutdown: no handle made from now on keeps its transfers, and the current one's end.
void metric_registration_close(METRIC_REGISTRATION_T* registration);
// Releases the SDK handle.
void metric_registration_deinit(METRIC_REGISTRATION_T* registration);
// Hands a fresh credential to the SDK handle: 0, or -1 (no handle yet, or refused).
[[nodiscard]] int metric_registration_update_credential(METRIC_REGISTRATION_T* registration,
                                                        const char* accessKeyId,
                                                        const char* accessKeySecret,
                                                        const char* securityToken);
// Credential callback (clientData the registration): 0, or -1 when the update failed.
int metric_registration_credential_callback(const CREDENTIAL_MSG_T* credential,
                                            void* registration) noexcept;

// Schedules every pre-task not scheduled yet, each undone. 0, or -1 when one could not be
// added.
[[nodiscard]] int start_pre_task(METRIC_REGISTRATION_T* registration);
// Removes the pre-tasks and marks them undone. Always 0.
int stop_pre_task(METRIC_REGISTRATION_T* registration);
// 1 (and dependReady set) when every pre-task is done, else 0.
[[nodiscard]] int check_dependent_service(METRIC_REGISTRATION_T* registration);
// True when every pre-task is done; logs nothing.
[[nodiscard]] bool pre_tasks_done();
// The pre-task table's generation: moved on by every stop_pre_task.
[[nodiscard]] uint64_t pre_task_generation();
// Marks the row done and removes its task, unless the pre-tasks were stopped since the run
// recorded generation. True when marked.
[[nodiscard]] bool mark_pre_task_done(TASK_NODE_T* task, PRE_TASK_T* row, uint64_t generation);
// Makes every pre-task that is not done due at the next tick (a credential has arrived).
// Called from a task function: no pre-task can be freed meanwhile.
void hasten_pre_tasks();
// The cloud side of the registration with a ready SDK handle: reads the account id, then
// makes sure the monitor group and this gateway's instance exist. True when registered
// (and selfMetrics then set from its configuration key).
[[nodiscard]] bool metric_register_gateway(METRIC_REGISTRATION_T* registration,
                                           CloudSdkClient* sdk);

// The pre-tasks; clientData is the task's own PRE_TASK_T row. 0 when done, else -1 (the
// task runs again).
int GetProductKeyTasK(TASK_NODE_T* task, void* clientData) noexcept;
int GetDeviceNameTask(TASK_NODE_T* task, void* clientData) noexcept;
int InitZEBSDKTask(TASK_NODE_T* task, void* clientData) noexcept;

#endif
