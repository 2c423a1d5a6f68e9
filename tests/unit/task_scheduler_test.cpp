#include "task_scheduler.h"

#include "common.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Every run appends the task's name; a run may also act on the scheduler.
struct Probe {
    std::vector<std::string> runs;
    TASK_NODE_T* victim = nullptr;  // removed by the task named "killer"
};

int recordRun(TASK_NODE_T* task, void* clientData) {
    static_cast<Probe*>(clientData)->runs.push_back(task->taskName);
    return 0;
}

int removeSelf(TASK_NODE_T* task, void* clientData) {
    recordRun(task, clientData);
    removeScheduleTask(task);
    return 0;
}

int removeVictim(TASK_NODE_T* task, void* clientData) {
    auto* probe = static_cast<Probe*>(clientData);
    recordRun(task, clientData);
    removeScheduleTask(probe->victim);
    probe->victim = nullptr;
    return 0;
}

int reAddSelf(TASK_NODE_T* task, void* clientData) {
    recordRun(task, clientData);
    const std::string name = task->taskName;
    removeScheduleTask(task);
    (void)addScheduleTask(name.c_str(), 0, 1000, 1, recordRun, clientData);
    return 0;
}

// Real ticks come a little over a second apart (one second of sleep plus the tick's work).
constexpr uint64_t kTickMs = 1001;

class TaskSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(initTaskScheduler(), 0); }
    void TearDown() override { deinitTaskScheduler(); }

    // Adds a task and returns its due time: ticks after it run the task.
    uint64_t add(const char* name, uint32_t delayMs, uint32_t intervalMs, int32_t runTimes,
                 TASK_FUNC_T func = recordRun) {
        TASK_NODE_T* const task =
            addScheduleTask(name, delayMs, intervalMs, runTimes, func, &probe);
        EXPECT_NE(task, nullptr);
        return task != nullptr ? task->execTimeStampsMs : 0;
    }

    Probe probe;
};

TEST_F(TaskSchedulerTest, RunCountsFollowRunTimes) {
    const uint64_t due = add("three", 0, 1000, 3);
    add("zero", 0, 1000, 0);
    add("forever", 0, 1000, -1);
    EXPECT_EQ(getScheduleTaskNum(), 3);

    for (int tick = 1; tick <= 5; ++tick) taskSchedulerProcAt(due + tick * kTickMs);

    EXPECT_EQ(std::count(probe.runs.begin(), probe.runs.end(), "three"), 3);
    EXPECT_EQ(std::count(probe.runs.begin(), probe.runs.end(), "zero"), 1);  // like 1
    EXPECT_EQ(std::count(probe.runs.begin(), probe.runs.end(), "forever"), 5);
    EXPECT_EQ(findScheduleTask("three"), nullptr);
    EXPECT_EQ(findScheduleTask("zero"), nullptr);
    TASK_NODE_T* const forever = findScheduleTask("forever");
    ASSERT_NE(forever, nullptr);
    EXPECT_EQ(forever->runTimes, -1);
    EXPECT_EQ(getScheduleTaskNum(), 1);
}

TEST_F(TaskSchedulerTest, RunsOnlyOnceDueTimeIsPassed) {
    const uint64_t due = add("later", 5000, 1000, 1);
    taskSchedulerProcAt(due);  // equal is not later
    EXPECT_TRUE(probe.runs.empty());
    taskSchedulerProcAt(due + 1);
    EXPECT_EQ(probe.runs.size(), 1U);
}

TEST_F(TaskSchedulerTest, IntervalIsRoundedUpToWholeTicks) {
    const uint64_t due = add("every1500", 0, 1500, -1);
    std::vector<int> runTicks;
    for (int tick = 1; tick <= 9; ++tick) {
        const size_t before = probe.runs.size();
        taskSchedulerProcAt(due + tick * kTickMs);
        if (probe.runs.size() != before) runTicks.push_back(tick);
    }
    EXPECT_EQ(runTicks, (std::vector<int>{1, 3, 5, 7, 9}));
}

TEST_F(TaskSchedulerTest, RealClockTickRunsADueTaskSoon) {
    add("now", 0, 1000, 1);
    const uint64_t deadline = get_time_ms() + 1000;
    while (findScheduleTask("now") != nullptr && get_time_ms() < deadline) {
        taskSchedulerProc();  // the first tick in a later millisecond runs it
    }
    EXPECT_EQ(probe.runs, std::vector<std::string>{"now"});
    EXPECT_EQ(getScheduleTaskNum(), 0);
}

TEST_F(TaskSchedulerTest, TaskRemovingItselfLeavesTheTickGoingInOrder) {
    const uint64_t due = add("first", 0, 1000, -1);
    add("self", 0, 1000, -1, removeSelf);
    add("last", 0, 1000, -1);
    taskSchedulerProcAt(due + kTickMs);
    EXPECT_EQ(probe.runs, (std::vector<std::string>{"first", "self", "last"}));
    EXPECT_EQ(findScheduleTask("self"), nullptr);
    EXPECT_EQ(getScheduleTaskNum(), 2);

    taskSchedulerProcAt(due + 2 * kTickMs);
    EXPECT_EQ(probe.runs.size(), 5U);
}

TEST_F(TaskSchedulerTest, TaskMayRemoveTheNextTaskOrAnEarlierOne) {
    const uint64_t due = add("early", 0, 1000, -1);
    add("killer", 0, 1000, -1, removeVictim);
    add("next", 0, 1000, -1);
    add("tail", 0, 1000, -1);

    probe.victim = findScheduleTask("next");  // not yet run in this tick: it must not run
    taskSchedulerProcAt(due + kTickMs);
    EXPECT_EQ(probe.runs, (std::vector<std::string>{"early", "killer", "tail"}));
    EXPECT_EQ(findScheduleTask("next"), nullptr);

    probe.runs.clear();
    probe.victim = findScheduleTask("early");  // already run in this tick
    taskSchedulerProcAt(due + 2 * kTickMs);
    EXPECT_EQ(probe.runs, (std::vector<std::string>{"early", "killer", "tail"}));
    EXPECT_EQ(findScheduleTask("early"), nullptr);
    EXPECT_EQ(getScheduleTaskNum(), 2);
}

TEST_F(TaskSchedulerTest, TaskReplacedDuringATickWaitsForTheNextTick) {
    const uint64_t due = add("phoenix", 0, 1000, -1, reAddSelf);
    taskSchedulerProcAt(due + kTickMs);
    EXPECT_EQ(probe.runs.size(), 1U);
    TASK_NODE_T* const reborn = findScheduleTask("phoenix");
    ASSERT_NE(reborn, nullptr);
    EXPECT_EQ(reborn->func, recordRun);
    taskSchedulerProcAt(reborn->execTimeStampsMs + 1);
    EXPECT_EQ(probe.runs.size(), 2U);
    EXPECT_EQ(getScheduleTaskNum(), 0);  // the replacement had one run
}

TEST_F(TaskSchedulerTest, UpdateWithDelayZeroRearmsForTheNextTick) {
    const uint64_t farAway = add("sleeper", 3600000, 1000, -1);
    TASK_NODE_T* const task = findScheduleTask("sleeper");
    const uint32_t zero = 0;
    const uint32_t interval = 7000;
    const int32_t runs = 2;
    ASSERT_EQ(updateScheduleTask(task, "woken", &zero, &interval, &runs, nullptr, nullptr), 0);
    EXPECT_LT(task->execTimeStampsMs, farAway);
    EXPECT_EQ(findScheduleTask("sleeper"), nullptr);
    EXPECT_EQ(findScheduleTask("woken"), task);
    EXPECT_EQ(task->func, recordRun);  // null arguments change nothing
    EXPECT_EQ(task->clientData, &probe);

    taskSchedulerProcAt(task->execTimeStampsMs + 1);
    EXPECT_EQ(probe.runs, std::vector<std::string>{"woken"});
    EXPECT_EQ(task->intervalMs, 7000U);
    EXPECT_EQ(task->runTimes, 1);
    EXPECT_EQ(updateScheduleTask(nullptr, "x", nullptr, nullptr, nullptr, nullptr, nullptr), -1);
}

TEST_F(TaskSchedulerTest, LookupsReturnTheFirstOfEqualNames) {
    add("twin", 0, 1000, -1);
    TASK_NODE_T* const first = findScheduleTask("twin");
    add("twin", 0, 1000, -1);
    add(nullptr, 0, 1000, -1);
    EXPECT_EQ(findScheduleTask("twin"), first);
    EXPECT_NE(findScheduleTask(""), nullptr);  // a null name is stored as ""
    EXPECT_EQ(getScheduleTaskNum(), 3);

    removeScheduleTask(first);
    EXPECT_NE(findScheduleTask("twin"), nullptr);
    EXPECT_EQ(getScheduleTaskNum(), 2);
    removeScheduleTask(nullptr);
    EXPECT_EQ(getScheduleTaskNum(), 2);
}

TEST(TaskSchedulerLifecycle, DeinitFreesEveryTaskAndInitIsIdempotent) {
    ASSERT_EQ(initTaskScheduler(), 0);
    ASSERT_EQ(initTaskScheduler(), 0);
    Probe probe;
    (void)addScheduleTask("a", 0, 1000, -1, recordRun, &probe);
    (void)addScheduleTask("b", 0, 1000, -1, recordRun, &probe);
    ASSERT_EQ(initTaskScheduler(), 0);  // a second init keeps the tasks
    EXPECT_EQ(getScheduleTaskNum(), 2);
    deinitTaskScheduler();
    EXPECT_EQ(getScheduleTaskNum(), 0);
    deinitTaskScheduler();
}

}  // namespace

TEST(TaskSchedulerByName, RemovesTheFirstTaskOfThatNameOnly) {
    ASSERT_EQ(initTaskScheduler(), 0);
    const int before = getScheduleTaskNum();
    auto noop = [](TASK_NODE_T*, void*) { return 0; };
    TASK_NODE_T* first = addScheduleTask("by-name", 60000, 1000, -1, noop, nullptr);
    TASK_NODE_T* second = addScheduleTask("by-name", 60000, 1000, -1, noop, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(removeScheduleTaskByName("by-name"));
    EXPECT_EQ(findScheduleTask("by-name"), second);
    EXPECT_TRUE(removeScheduleTaskByName("by-name"));
    EXPECT_FALSE(removeScheduleTaskByName("by-name"));
    EXPECT_EQ(getScheduleTaskNum(), before);
}
