#include "task_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every run appends the task's name; a run may also act on the scheduler.
struct Probe {
    std::vector<std::string> runs;
    TASK_NODE_T* victim = nullptr;  // removed by removeVictim
    long count(const char* name) const { return std::count(runs.begin(), runs.end(), name); }
};

int recordRun(TASK_NODE_T* task, void* clientData) noexcept {
    static_cast<Probe*>(clientData)->runs.push_back(task->taskName);
    return 0;
}

int removeVictim(TASK_NODE_T* task, void* clientData) noexcept {
    auto* probe = static_cast<Probe*>(clientData);
    recordRun(task, clientData);
    removeScheduleTask(probe->victim != nullptr ? probe->victim : task);
    probe->victim = nullptr;
    return 0;
}

int reAddSelf(TASK_NODE_T* task, void* clientData) noexcept {
    recordRun(task, clientData);
    const std::string name = task->taskName;
    removeScheduleTask(task);
    (void)addScheduleTask(name.c_str(), 0, 1000, 1, recordRun, clientData);
    return 0;
}

int requestStop(TASK_NODE_T* task, void* clientData) noexcept {
    recordRun(task, clientData);
    setTaskSchedulerStopping(true);
    return 0;
}

// A task function that waits, as one waiting for the network does, until released.
struct Gate {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
};

int waitAtGate(TASK_NODE_T* /*task*/, void* clientData) noexcept {
    auto* gate = static_cast<Gate*>(clientData);
    gate->entered.set_value();
    (void)gate->released.wait_for(std::chrono::seconds(10));
    return 0;
}

// Real ticks come a little over a second apart (one second of sleep plus the tick's work).
constexpr uint64_t kTickMs = 1001;

class TaskSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(initTaskScheduler(), 0); }
    void TearDown() override {
        setTaskSchedulerStopping(false);
        deinitTaskScheduler();
    }

    // Adds a task and returns its due time: ticks after it run the task.
    uint64_t add(const char* name, uint32_t delayMs, uint32_t intervalMs, int32_t runTimes,
                 TASK_FUNC_T func = recordRun) {
        TASK_NODE_T* const task = addScheduleTask(name, delayMs, intervalMs, runTimes, func, &probe);
        EXPECT_NE(task, nullptr);
        return task != nullptr ? task->execTimeStampsMs : 0;
    }
    std::vector<std::string> tick(uint64_t atMs) {
        probe.runs.clear();
        taskSchedulerProcAt(atMs);
        return probe.runs;
    }

    Probe probe;
};

TEST_F(TaskSchedulerTest, RunCountsFollowRunTimes) {
    const uint64_t due = add("three", 0, 1000, 3);
    add("zero", 0, 1000, 0);
    add("forever", 0, 1000, -1);
    for (int t = 1; t <= 5; ++t) taskSchedulerProcAt(due + t * kTickMs);
    EXPECT_EQ(probe.count("three"), 3);
    EXPECT_EQ(probe.count("zero"), 1);  // like 1
    EXPECT_EQ(probe.count("forever"), 5);
    EXPECT_EQ(findScheduleTask("three"), nullptr);
    EXPECT_EQ(getScheduleTaskNum(), 1);
}

TEST_F(TaskSchedulerTest, DueTimeMustBePassedAndIntervalsRoundUpToWholeTicks) {
    const uint64_t later = add("later", 5000, 1000, 1);
    EXPECT_TRUE(tick(later).empty());  // equal is not later
    EXPECT_EQ(tick(later + 1).size(), 1U);

    const uint64_t due = add("every1500", 0, 1500, -1);
    std::vector<int> runTicks;
    for (int t = 1; t <= 9; ++t) {
        if (!tick(due + t * kTickMs).empty()) runTicks.push_back(t);
    }
    EXPECT_EQ(runTicks, (std::vector<int>{1, 3, 5, 7, 9}));
}

// A task may remove itself, a task not yet run in this tick, or one already run; the tick
// goes on in order and never runs a removed task.
TEST_F(TaskSchedulerTest, RemovalDuringATick) {
    const uint64_t due = add("early", 0, 1000, -1);
    add("killer", 0, 1000, -1, removeVictim);
    add("next", 0, 1000, -1);
    add("tail", 0, 1000, -1);
    using Runs = std::vector<std::string>;

    probe.victim = findScheduleTask("next");
    EXPECT_EQ(tick(due + kTickMs), (Runs{"early", "killer", "tail"}));
    probe.victim = findScheduleTask("early");
    EXPECT_EQ(tick(due + 2 * kTickMs), (Runs{"early", "killer", "tail"}));
    EXPECT_EQ(tick(due + 3 * kTickMs), (Runs{"killer", "tail"}));  // removed itself
    EXPECT_EQ(tick(due + 4 * kTickMs), (Runs{"tail"}));
    EXPECT_EQ(getScheduleTaskNum(), 1);
}

// A stop request ends the tick between tasks (a removal is still swept); the tasks left
// due run once the scheduler is started again.
TEST_F(TaskSchedulerTest, AStopRequestEndsTheTickBetweenTasks) {
    const uint64_t due = add("first", 0, 1000, -1);
    add("stopper", 0, 1000, 1, requestStop);
    add("after", 0, 1000, -1);
    using Runs = std::vector<std::string>;
    EXPECT_EQ(tick(due + kTickMs), (Runs{"first", "stopper"}));
    EXPECT_EQ(getScheduleTaskNum(), 2);
    EXPECT_TRUE(tick(due + 2 * kTickMs).empty());
    setTaskSchedulerStopping(false);
    EXPECT_EQ(tick(due + 3 * kTickMs), (Runs{"first", "after"}));
}

// The lock is not held while a task function runs: other threads update, remove and add
// meanwhile. A task removed then is not run and is freed when the tick ends; a delay set
// for the running task is kept.
TEST_F(TaskSchedulerTest, OtherThreadsGoOnWhileATaskFunctionWaits) {
    using namespace std::chrono_literals;
    Gate gate;
    TASK_NODE_T* const slow = addScheduleTask("slow", 0, 1000, -1, waitAtGate, &gate);
    const uint64_t due = add("victim", 0, 1000, -1);
    std::thread ticker([due] { taskSchedulerProcAt(due + kTickMs); });
    EXPECT_EQ(gate.entered.get_future().wait_for(5s), std::future_status::ready);
    auto others = std::async(std::launch::async, [this, slow] {
        const uint32_t delayMs = 60000;
        EXPECT_EQ(updateScheduleTask(slow, nullptr, &delayMs, nullptr, nullptr, nullptr, nullptr), 0);
        EXPECT_TRUE(removeScheduleTaskByName("victim"));
        EXPECT_NE(addScheduleTask("added", 0, 1000, -1, recordRun, &probe), nullptr);
    });
    const bool unblocked = others.wait_for(5s) == std::future_status::ready;
    gate.release.set_value();
    ticker.join();
    others.wait();
    EXPECT_TRUE(unblocked) << "another thread waited for the task function";
    EXPECT_TRUE(probe.runs.empty());
    EXPECT_GT(slow->execTimeStampsMs, due + kTickMs + 50000);
    EXPECT_EQ(getScheduleTaskNum(), 2);
}

TEST_F(TaskSchedulerTest, TaskReplacedDuringATickWaitsForTheNextTick) {
    const uint64_t due = add("phoenix", 0, 1000, -1, reAddSelf);
    EXPECT_EQ(tick(due + kTickMs).size(), 1U);
    TASK_NODE_T* const reborn = findScheduleTask("phoenix");
    ASSERT_NE(reborn, nullptr);
    EXPECT_EQ(reborn->func, recordRun);
    EXPECT_EQ(tick(reborn->execTimeStampsMs + 1).size(), 1U);
    EXPECT_EQ(getScheduleTaskNum(), 0);  // the replacement had one run
}

TEST_F(TaskSchedulerTest, EqualNamesAreFoundAndRemovedFirstFirst) {
    add("twin", 0, 1000, -1);
    TASK_NODE_T* const first = findScheduleTask("twin");
    add("twin", 0, 1000, -1);
    add(nullptr, 0, 1000, -1);  // stored as ""
    EXPECT_EQ(findScheduleTask("twin"), first);
    EXPECT_TRUE(removeScheduleTaskByName("twin"));
    EXPECT_NE(findScheduleTask("twin"), nullptr);
    EXPECT_TRUE(removeScheduleTaskByName("twin"));
    EXPECT_FALSE(removeScheduleTaskByName("twin"));
    EXPECT_TRUE(removeScheduleTaskByName(""));
    EXPECT_EQ(getScheduleTaskNum(), 0);
}

}  // namespace
