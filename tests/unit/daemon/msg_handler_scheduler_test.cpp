// The scheduler thread: it ticks until asked to stop, and starts again after a join.
#include "msg_handler_scheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "task_scheduler.h"

namespace {

int signalRun(TASK_NODE_T* /*task*/, void* clientData) noexcept {
    static_cast<std::promise<void>*>(clientData)->set_value();
    return 0;
}

// A restart must clear the earlier stop request, and each join waits for its own thread.
TEST(SchedulerThreadTest, RunsTasksUntilStoppedAndStartsAgain) {
    ASSERT_EQ(initTaskScheduler(), 0);
    SERVICE_MONITOR_CTX_T ctx {};
    joinSchedulerThread(&ctx);  // never started: returns at once
    std::promise<void> ran[2];  // outlive both threads, whatever a round saw
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(startSchedulerThread(&ctx), 0);
        EXPECT_FALSE(taskSchedulerStopping());
        ASSERT_NE(addScheduleTask("probe", 0, 1000, 1, signalRun, &ran[round]), nullptr);
        EXPECT_EQ(ran[round].get_future().wait_for(std::chrono::seconds(30)),
                  std::future_status::ready) << round;
        requestSchedulerStop();
        EXPECT_TRUE(taskSchedulerStopping());
        joinSchedulerThread(&ctx);
        joinSchedulerThread(&ctx);  // a second join returns at once
    }
    deinitTaskScheduler();
}

}  // namespace
