// The metric data manager: the record behind metric ingestion, its pre-task table, and
// the ingestion of posted samples (request check, queueing, JSON reply).
#ifndef SERVICE_MONITOR_METRIC_MANAGER_H
#define SERVICE_MONITOR_METRIC_MANAGER_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "message_queue.h"
#include "service_monitor_metric_data_cache.h"
#include "task_scheduler.h"

struct CloudSdkClient;
struct CFG_CONN_T;
struct CREDENTIAL_MSG_T;

constexpr size_t kMetricReplyBufSize = 256;  // reply buffer handed to post_metric_data
constexpr uint32_t TS_TOLERANCE_MS = 3000;   // slack for ts on both ends of the period

// Result codes of post_metric_data (the reply's "code").
constexpr int kMetricCodeOk = 0;
constexpr int kMetricCodeEmpty = 100000;
constexpr int kMetricCodeBadInput = 100001;
constexpr int kMetricCodeNoMemory = 100002;
constexpr int kMetricCodeDisabled = 110100;
constexpr int kMetricCodeNotReady = 110101;

struct METRIC_DATA_MANAGER_T {
    uint64_t periodStartMs = 0;
    uint64_t periodEndMs = 0;
    uint64_t periodMs = 0;
    std::mutex mutex;  // guards periodStartMs and periodEndMs only
    MSG_QUEUE_T metricDataQueue;
    METRIC_DATA_CACHE_T* cache = nullptr;  // owned
    pthread_t thread{};
    // Owned. Created by the SDK pre-task on the scheduler thread, read by the manager
    // thread and by credential updates.
    std::atomic<CloudSdkClient*> sdkHandle{nullptr};
    CFG_CONN_T* cfgConn = nullptr;        // not owned
    // The name fields below are written by the pre-tasks (scheduler thread) and read by
    // the uploads (manager thread): both sides hold namesLock.
    std::mutex namesLock;
    char productKey[32] = {};
    char deviceName[32] = {};
    char accountId[128] = {};
    char groupId[64] = {};
    char instanceName[128] = {};
    char instanceId[128] = {};
    std::atomic<uint32_t> enable{0};
    std::atomic<uint32_t> dependReady{0};

    // The cache has no lock of its own: the manager thread's insert, walk and clear and the
    // disable path's clear (main thread) all hold this one. Lock order: never together with
    // the queue mutex or the period mutex.
    std::mutex cacheLock;
    // Shutdown of the manager thread: stopRequested ends its loop and the thread is joined
    // (once, under threadStateLock), so it has let go of the record and finished its
    // thread-local cleanup before anything it used is released.
    std::atomic<bool> stopRequested{false};
    std::mutex threadStateLock;
    bool threadJoinable = false;
};

// One pre-task; scheduled under its name with its own row as client data.
struct PRE_TASK_T {
    std::atomic<bool> done;
    const char* name;
    TASK_FUNC_T func;
    uint32_t intervalMs;
    // Set when the tasks are started and kept afterwards: a task function may still be
    // running on the scheduler thread when the main thread stops or restarts the tasks.
    std::atomic<METRIC_DATA_MANAGER_T*> manager;
};

constexpr size_t kPreTaskNum = 3;
extern PRE_TASK_T g_preTasks[kPreTaskNum];

// Checks and queues the samples of one request and writes the JSON reply into reply
// (kMetricReplyBufSize bytes). 0 when every sample was queued, else -1.
int post_metric_data(METRIC_DATA_MANAGER_T* manager, const char* jsonText, char* reply);
// Writes {"id":"<id>","code":<code>, "message":"<message>"} into dst with both texts
// escaped. When it would not fit, the id (then the message) is shortened at a character
// boundary so that dst still holds valid JSON. 0 when nothing was shortened, else -1.
int package_reply_message(char* dst, size_t size, const char* id, const char* message, int code);
// 1 (and dependReady set) when every pre-task is done, else 0.
int check_dependent_service(METRIC_DATA_MANAGER_T* manager);
// Frees a popped queue node and hands over the sample it carried.
[[nodiscard]] std::unique_ptr<METRIC_MESSAGE_T> takeMetricMessage(MSG_NODE_T* node);

// New manager (disabled, manager thread running), or null.
[[nodiscard]] METRIC_DATA_MANAGER_T* metric_data_manager_init(CFG_CONN_T* cfgConn, uint64_t periodMs);
// Stops the manager thread and waits until it has let go of the record; an upload in
// flight ends first (bounded by its time-out), the rest of that period is dropped.
void metric_data_manager_stop(METRIC_DATA_MANAGER_T* manager);
// Stops the thread if still running, then releases the SDK handle, cache and record.
void metric_data_manager_deinit(METRIC_DATA_MANAGER_T* manager);
int metric_data_manager_enable(METRIC_DATA_MANAGER_T* manager);
int metric_data_manager_disable(METRIC_DATA_MANAGER_T* manager);
int metric_data_manager_update_credential(METRIC_DATA_MANAGER_T* manager, const char* accessKeyId,
                                          const char* accessKeySecret, const char* securityToken);
// Credential callback handing a fresh credential to the manager's SDK handle: 0, or -1.
int metric_data_manager_credential_callback(const CREDENTIAL_MSG_T* credential, void* manager);
int start_pre_task(METRIC_DATA_MANAGER_T* manager);
int stop_pre_task(METRIC_DATA_MANAGER_T* manager);
// Makes every pre-task that is not done due at the next tick (a credential has arrived).
void hasten_pre_tasks();
// Uploads one aggregated metric (iter_metric_data callback shape). 0 or -1.
int UploadMetircDataToCloud(const char* moduleName, const char* metricName, uint32_t collectRule,
                            void* manager, double value);

// The pre-tasks; clientData is the task's own PRE_TASK_T row.
int GetProductKeyTasK(TASK_NODE_T* task, void* clientData);
int GetDeviceNameTask(TASK_NODE_T* task, void* clientData);
int InitZEBSDKTask(TASK_NODE_T* task, void* clientData);

#endif
