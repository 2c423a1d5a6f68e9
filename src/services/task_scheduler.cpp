#include "task_scheduler.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "common.h"

namespace {

struct TASK_SCHEDULER_T {
    int32_t initialised = 0;
    TASK_NODE_T* head = nullptr;  // oldest task
    TASK_NODE_T* tail = nullptr;
    std::recursive_mutex mutex;
    int32_t taskNum = 0;
    // A tick is walking the list. The lock is let go while a task function runs, so any
    // thread may add or remove meanwhile: additions go to the tail, removals only mark the
    // node, and the tick unlinks and frees it when the walk is over. Nodes and their links
    // therefore stay valid for the whole walk.
    bool inTick = false;
};

TASK_SCHEDULER_T g_scheduler;
std::atomic<bool> g_stopping{false};

int _addNodeToList(TASK_SCHEDULER_T* scheduler, TASK_NODE_T* task) {
    if (scheduler == nullptr || task == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    task->link.prev = scheduler->tail;
    task->link.next = nullptr;
    if (scheduler->tail != nullptr) {
        scheduler->tail->link.next = task;
    } else {
        scheduler->head = task;
    }
    scheduler->tail = task;
    ++scheduler->taskNum;
    SM_LOG(1, "add node(%s) to list\n", task->taskName.c_str());
    return 0;
}

int _removeNodeFromList(TASK_SCHEDULER_T* scheduler, TASK_NODE_T* task) {
    if (scheduler == nullptr || task == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    TASK_NODE_T* const prev = task->link.prev;
    TASK_NODE_T* const next = task->link.next;
    (prev != nullptr ? prev->link.next : scheduler->head) = next;
    (next != nullptr ? next->link.prev : scheduler->tail) = prev;
    task->link = TASK_LINK_T{};
    --scheduler->taskNum;
    SM_LOG(1, "del node(%s) from list\n", task->taskName.c_str());
    return 0;
}

int _freeTaskNode(TASK_NODE_T* task) {
    if (task == nullptr) {
        SM_LOG(3, "invalid params\n");
        return -1;
    }
    const std::unique_ptr<TASK_NODE_T> owner(task);
    return 0;
}

void _printTaskNode(const TASK_NODE_T* task) {
    SM_LOG(0,
           "\n\ttaskID:%p\n\ttaskName:%s\n\texecTimeStampsMs:%llu\n\tfunc:%p\n"
           "\tintervalMs:%u\n\trunTimes:%d, clientData:%p\n",
           static_cast<const void*>(task->taskID), task->taskName.c_str(),
           static_cast<unsigned long long>(task->execTimeStampsMs),
           reinterpret_cast<const void*>(task->func), task->intervalMs, task->runTimes,
           task->clientData);
}

// Runs the task when it is due. Called and returns with the lock held; the lock is let
// go for the function itself.
void _nodeTaskProc(TASK_NODE_T* task, std::unique_lock<std::recursive_mutex>& lock, uint64_t now) {
    if (now <= task->execTimeStampsMs) return;
    TASK_NODE_T* const id = task->taskID;
    const TASK_FUNC_T func = task->func;
    void* const clientData = task->clientData;
    task->rescheduled = false;
    if (func != nullptr) {
        lock.unlock();
        func(id, clientData);
        lock.lock();
    }
    if (task->removed) return;  // removed by its own function or by another thread
    if (task->runTimes > 0) --task->runTimes;
    if (task->runTimes == 0) {
        SM_LOG(0, "remove and free task node:%s\n", task->taskName.c_str());
        task->removed = true;
        return;
    }
    if (!task->rescheduled) task->execTimeStampsMs = now + task->intervalMs;
}

// Unlinks and frees every node marked during the tick.
void _sweepRemovedNodes(TASK_SCHEDULER_T* scheduler) {
    for (TASK_NODE_T* task = scheduler->head; task != nullptr;) {
        TASK_NODE_T* const next = task->link.next;
        if (task->removed) {
            _removeNodeFromList(scheduler, task);
            _freeTaskNode(task);
        }
        task = next;
    }
}

std::unique_ptr<TASK_NODE_T> _createTaskNode(const char* taskName) noexcept {
    try {
        auto task = std::make_unique<TASK_NODE_T>();
        task->taskName = taskName != nullptr ? taskName : "";
        task->taskID = task.get();
        return task;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

int initTaskScheduler() {
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    if (g_scheduler.initialised != 0) return 0;
    g_scheduler.head = nullptr;
    g_scheduler.tail = nullptr;
    g_scheduler.taskNum = 0;
    g_scheduler.initialised = 1;
    return 0;
}

void deinitTaskScheduler() {
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    if (g_scheduler.initialised == 0) return;
    if (g_scheduler.inTick) {
        SM_LOG(3, "invalid params\n");
        return;
    }
    while (g_scheduler.head != nullptr) {
        TASK_NODE_T* const task = g_scheduler.head;
        _removeNodeFromList(&g_scheduler, task);
        _freeTaskNode(task);
    }
    g_scheduler.initialised = 0;
}

TASK_NODE_T* addScheduleTask(const char* taskName, uint32_t delayMs, uint32_t intervalMs,
                             int32_t runTimes, TASK_FUNC_T func, void* clientData) {
    std::unique_ptr<TASK_NODE_T> task = _createTaskNode(taskName);
    if (!task) {
        SM_LOG(3, "malloc TASK_NODE_T failed\n");
        return nullptr;
    }
    task->execTimeStampsMs = get_time_ms() + delayMs;
    task->func = func;
    task->intervalMs = intervalMs;
    task->clientData = clientData;
    task->runTimes = runTimes;

    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    if (_addNodeToList(&g_scheduler, task.get()) != 0) {
        SM_LOG(3, "add node to list failed! taskname:%s\n", task->taskName.c_str());
        return nullptr;
    }
    return task.release();
}

TASK_NODE_T* findScheduleTask(const char* taskName) {
    if (taskName == nullptr) return nullptr;
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    for (TASK_NODE_T* task = g_scheduler.head; task != nullptr; task = task->link.next) {
        if (!task->removed && task->taskName == taskName) return task;
    }
    return nullptr;
}

int updateScheduleTask(TASK_NODE_T* task, const char* newName, const uint32_t* delayMs,
                       const uint32_t* intervalMs, const int32_t* runTimes, TASK_FUNC_T func,
                       void* clientData) {
    if (task == nullptr) return -1;
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    if (newName != nullptr) {
        try {
            task->taskName = newName;
        } catch (const std::bad_alloc&) {
            SM_LOG(3, "malloc TASK_NODE_T failed\n");  // the old name stays
        }
    }
    if (delayMs != nullptr) {
        task->execTimeStampsMs = get_time_ms() + *delayMs;
        task->rescheduled = true;
    }
    if (intervalMs != nullptr) task->intervalMs = *intervalMs;
    if (runTimes != nullptr) task->runTimes = *runTimes;
    if (func != nullptr) task->func = func;
    if (clientData != nullptr) task->clientData = clientData;
    return 0;
}

// Looks up and removes under one hold of the lock: a handle found by name may otherwise
// be freed by its own task between the lookup and the removal.
bool removeScheduleTaskByName(const char* taskName) {
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    TASK_NODE_T* const task = findScheduleTask(taskName);
    removeScheduleTask(task);
    return task != nullptr;
}

void removeScheduleTask(TASK_NODE_T* task) {
    if (task == nullptr) return;
    {
        const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
        if (g_scheduler.inTick) {
            task->removed = true;
            return;
        }
        _removeNodeFromList(&g_scheduler, task);
    }
    _freeTaskNode(task);
}

void taskSchedulerProc() {
    taskSchedulerProcAt(get_time_ms());
}

void taskSchedulerProcAt(uint64_t nowMs) {
    std::unique_lock<std::recursive_mutex> lock(g_scheduler.mutex);
    if (g_scheduler.inTick) return;  // one walk at a time: nested or from another thread
    g_scheduler.inTick = true;
    // Tasks added meanwhile wait for the next tick. A stop request ends the walk between
    // tasks: shutdown waits for the task in progress only, not for every one still due.
    TASK_NODE_T* const last = g_scheduler.tail;
    for (TASK_NODE_T* task = g_scheduler.head; task != nullptr && !g_stopping.load();
         task = task->link.next) {
        if (!task->removed) _nodeTaskProc(task, lock, nowMs);
        if (task == last) break;
    }
    g_scheduler.inTick = false;
    _sweepRemovedNodes(&g_scheduler);
}

void setTaskSchedulerStopping(bool stopping) { g_stopping.store(stopping); }

bool taskSchedulerStopping() { return g_stopping.load(); }

void listSchedulerTask() {
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    SM_LOG(0, "TaskNodeNum:%d\n", getScheduleTaskNum());
    for (const TASK_NODE_T* task = g_scheduler.head; task != nullptr; task = task->link.next) {
        if (!task->removed) _printTaskNode(task);
    }
}

int getScheduleTaskNum() {
    const std::lock_guard<std::recursive_mutex> lock(g_scheduler.mutex);
    int num = 0;
    for (const TASK_NODE_T* task = g_scheduler.head; task != nullptr; task = task->link.next) {
        if (!task->removed) ++num;
    }
    return num;
}
