// Process-wide scheduler of named periodic tasks. One thread calls taskSchedulerProc once
// a second; any thread may add, find, update and remove tasks. Task functions run on the
// ticking thread without the scheduler lock held, so a task waiting for the network never
// makes another thread wait; they may call every operation here.
#ifndef SERVICE_MONITOR_TASK_SCHEDULER_H
#define SERVICE_MONITOR_TASK_SCHEDULER_H

#include <cstdint>
#include <string>

struct TASK_NODE_T;

// Called as func(taskID, clientData) on the ticking thread; the result is ignored. noexcept:
// nothing may unwind through the tick.
using TASK_FUNC_T = int (*)(TASK_NODE_T* taskID, void* clientData) noexcept;

// Membership in the scheduler's list, in order of addition.
struct TASK_LINK_T {
    TASK_NODE_T* next = nullptr;
    TASK_NODE_T* prev = nullptr;
};

struct TASK_NODE_T {
    TASK_NODE_T* taskID = nullptr;  // the node itself: the handle given out
    std::string taskName;
    uint64_t execTimeStampsMs = 0;  // next run at the first tick later than this
    TASK_FUNC_T func = nullptr;
    uint32_t intervalMs = 0;
    void* clientData = nullptr;
    int32_t runTimes = 0;  // runs left; negative means unlimited
    TASK_LINK_T link;
    bool removed = false;  // removed during a tick; freed when the tick ends
    bool rescheduled = false;  // a delay was set while the function ran: keep that due time
};

// 0; a second call does nothing.
int initTaskScheduler();
// Removes and frees every task. Must not be called from a task function.
void deinitTaskScheduler();
// Adds a task due delayMs from now, then every intervalMs, runTimes times (0 counts as 1,
// negative for ever). The task's handle, or null.
[[nodiscard]] TASK_NODE_T* addScheduleTask(const char* taskName, uint32_t delayMs,
                                           uint32_t intervalMs, int32_t runTimes,
                                           TASK_FUNC_T func, void* clientData);
// First task with exactly this name in order of addition, or null.
[[nodiscard]] TASK_NODE_T* findScheduleTask(const char* taskName);
// Replaces every part given by a non-null argument (a delay restarts the wait from now).
// 0, or -1 for a null task.
int updateScheduleTask(TASK_NODE_T* task, const char* newName, const uint32_t* delayMs,
                       const uint32_t* intervalMs, const int32_t* runTimes, TASK_FUNC_T func,
                       void* clientData);
// Removes the task; null is ignored. The handle is invalid afterwards. During a tick the
// node is freed when the tick ends, and a function already running finishes its run.
void removeScheduleTask(TASK_NODE_T* task);
// Removes the first task of that name, if any, as one step. True when one was removed.
bool removeScheduleTaskByName(const char* taskName);
// One tick: runs every task that is due now, in order of addition, until a stop request.
void taskSchedulerProc();
// One tick at the given wall-clock time in ms (taskSchedulerProc passes the current time).
void taskSchedulerProcAt(uint64_t nowMs);
// Shutdown asks long task functions to give up between their blocking steps, and the tick
// to run no further task: set once the scheduler thread is asked to stop, cleared when it
// starts.
void setTaskSchedulerStopping(bool stopping);
[[nodiscard]] bool taskSchedulerStopping();
// Logs the task count and every task.
void listSchedulerTask();
[[nodiscard]] int getScheduleTaskNum();

#endif
