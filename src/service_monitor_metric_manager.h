// The metric data manager: the record behind metric ingestion, its pre-task table, the
// ingestion of posted samples (request check, queueing, JSON reply), the period clock and
// the upload of each period beside it.
#ifndef SERVICE_MONITOR_METRIC_MANAGER_H
#define SERVICE_MONITOR_METRIC_MANAGER_H

#include <pthread.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

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
constexpr std::array<int, 5> kMetricRefusalCodes = {kMetricCodeEmpty, kMetricCodeBadInput,
                                                    kMetricCodeNoMemory, kMetricCodeDisabled,
                                                    kMetricCodeNotReady};

// What the queue between the bus thread and the manager thread may hold: a full queue
// refuses requests with 100002 rather than grow.
constexpr size_t kMetricQueueLimitBytes = 16U << 20;
// The bus thread wakes the manager thread only once this much waits: below it the manager
// takes the samples on its own at least once a second, which spares a thread switch per
// request.
constexpr size_t kMetricQueueWakeBytes = 64U << 10;
// Periods waiting for the upload work behind the one being uploaded; a further one drops
// the oldest waiting period, so a cloud that hangs cannot make memory grow.
constexpr size_t kMaxWaitingPeriods = 2;
// A change of the wall clock against the monotonic clock beyond this is a step: the
// period's window moves with it at once.
constexpr int64_t kClockStepMs = 1000;

// The samples of one request, queued as one node: one allocation for the batch, one for
// its entries.
struct METRIC_BATCH_T {
    MSG_NODE_T node;  // node.payload is the batch itself
    uint64_t enableEpoch = 0;  // the manager's enableEpoch when the request was checked
    std::vector<METRIC_MESSAGE_T> messages;
};

// One aggregated metric taken out of the cache at a period's end. The upload works on
// this copy, so the cache lock is never held across a network request.
struct PERIOD_METRIC_T {
    char moduleName[kModuleNameSize];
    char metricName[kMetricNameSize];
    uint32_t collectRule;
    double value;
};
using PERIOD_METRICS_T = std::vector<PERIOD_METRIC_T>;

using CLOCK_MS_FUNC_T = uint64_t (*)();
// CloudSdkPostMetricDataMany's shape: results[i] 0, an HTTP status or -1; the number accepted.
using UPLOAD_MANY_FUNC_T = size_t (*)(CloudSdkClient* client, const char* const* bodies,
                                      size_t count, int timeoutSeconds, int* results);
using ABORT_FUNC_T = void (*)(CloudSdkClient* client);

// Counts of one period for its summary line. Written by the bus thread (samples, refusals)
// and the upload thread (uploads), read and reset by the manager thread.
struct METRIC_PERIOD_COUNTS_T {
    std::atomic<uint64_t> accepted{0};  // samples queued
    std::atomic<uint64_t> droppedByDisable{0};  // samples queued or merged, then disabled
    std::array<std::atomic<uint64_t>, kMetricRefusalCodes.size()> refused{};  // requests
    std::atomic<uint64_t> uploadsAccepted{0};
    std::atomic<uint64_t> uploadsFailed{0};
};

// The upload work beside the manager thread: periods handed over at their end, uploaded
// in order on the upload thread.
struct METRIC_UPLOAD_WORK_T {
    std::mutex lock;  // guards periods; never held with another lock of the manager
    std::condition_variable cond;
    std::deque<PERIOD_METRICS_T> periods;
    pthread_t thread{};
    bool threadJoinable = false;  // under the manager's threadStateLock
};

struct METRIC_DATA_MANAGER_T {
    // The window ts is checked against, in wall-clock ms. The period itself runs on the
    // monotonic clock (periodEndMonoMs), so a wall-clock step moves the window but neither
    // ends nor stretches the period.
    uint64_t periodStartMs = 0;
    uint64_t periodEndMs = 0;
    uint64_t periodMs = 0;
    uint64_t periodEndMonoMs = 0;
    int64_t wallMinusMonoMs = 0;  // at the last anchoring of the window
    std::mutex mutex;  // guards the five fields above
    CLOCK_MS_FUNC_T wallClockMs = nullptr;  // get_time_ms unless a test injects one
    CLOCK_MS_FUNC_T monoClockMs = nullptr;  // CLOCK_MONOTONIC unless a test injects one
    UPLOAD_MANY_FUNC_T uploadMany = nullptr;  // CloudSdkPostMetricDataMany unless injected
    ABORT_FUNC_T abortTransfers = nullptr;    // CloudSdkAbort unless injected
    METRIC_PERIOD_COUNTS_T counts;
    METRIC_UPLOAD_WORK_T upload;
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
    // Moves on at every disable, under cacheLock. A batch stamped with an older epoch was
    // taken before the disable and is dropped rather than merged, even when the manager
    // thread popped it before the disable cleared the queue.
    std::atomic<uint64_t> enableEpoch{0};

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
// Hands over the batch a popped queue node belongs to.
[[nodiscard]] std::unique_ptr<METRIC_BATCH_T> takeMetricBatch(MSG_NODE_T* node);

// Merges a popped chain of batches into the cache (batches of an older enableEpoch are
// dropped and counted). The bytes the chain held.
size_t metric_merge_chain(METRIC_DATA_MANAGER_T* manager, MSG_NODE_T* first);
// Result of metric_period_tick.
enum class PeriodTick { kRunning, kWindowMoved, kEnded };
// Moves the period on: a new one when the current one is over on the monotonic clock, or
// the window moved by a wall-clock step. Called by the manager thread once per batch.
PeriodTick metric_period_tick(METRIC_DATA_MANAGER_T* manager);
// Ends the period: takes the cache's metrics out, logs the period's summary line and
// hands the metrics to the upload work (an empty period is not handed over).
void metric_period_end(METRIC_DATA_MANAGER_T* manager);
// The summary line of the period that ends (and resets its counts): samples accepted,
// samples dropped by a disable, requests refused per reply code, the queue's peak, the uploads finished since the last
// line.
void metric_period_summary(METRIC_DATA_MANAGER_T* manager, char* line, size_t size);

// New manager (disabled, manager and upload threads running), or null. The clocks and
// cloud calls are the real ones unless set on a record handed to
// metric_data_manager_start.
[[nodiscard]] METRIC_DATA_MANAGER_T* metric_data_manager_init(CFG_CONN_T* cfgConn, uint64_t periodMs);
// Starts the threads of a record set up by the caller (cfgConn, periodMs, optional
// injected clocks and cloud calls). 0, or -1.
int metric_data_manager_start(METRIC_DATA_MANAGER_T* manager);
// Sets every clock and cloud call left null to the real one.
void metric_manager_use_defaults(METRIC_DATA_MANAGER_T* manager);
// Starts a period now: the window from the wall clock, the end on the monotonic clock.
void metric_period_anchor(METRIC_DATA_MANAGER_T* manager);
// Starts the manager and upload threads. 0, or -1 (none left running).
int metric_manager_start_threads(METRIC_DATA_MANAGER_T* manager);
// Stops the manager and upload threads and waits until they have let go of the record:
// aborts the SDK handle's transfers (management calls on other threads end too), drops
// the periods not yet uploaded. Returns within about a second whatever the cloud does.
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
// The pre-task table's generation: moved on by every stop_pre_task.
[[nodiscard]] uint64_t pre_task_generation();
// Marks the row done and removes its task, unless the pre-tasks were stopped since the run
// recorded generation. True when marked.
bool mark_pre_task_done(TASK_NODE_T* task, PRE_TASK_T* row, uint64_t generation);
// Makes every pre-task that is not done due at the next tick (a credential has arrived).
// Called from a task function: no pre-task can be freed meanwhile.
void hasten_pre_tasks();
// Uploads one aggregated metric (iter_metric_data callback shape). 0 or -1.
int UploadMetircDataToCloud(const char* moduleName, const char* metricName, uint32_t collectRule,
                            void* manager, double value);
// Uploads a period's metrics, several at a time, each logged as UploadMetircDataToCloud
// logs it. The number accepted.
size_t upload_period_metrics(METRIC_DATA_MANAGER_T* manager, const PERIOD_METRICS_T& metrics);

// The pre-tasks; clientData is the task's own PRE_TASK_T row.
int GetProductKeyTasK(TASK_NODE_T* task, void* clientData);
int GetDeviceNameTask(TASK_NODE_T* task, void* clientData);
int InitZEBSDKTask(TASK_NODE_T* task, void* clientData);

#endif
