// The credential task, on the scheduler's own clock and without a credential service.
#include "msg_handler_credential.h"

#include <gtest/gtest.h>

#include "common.h"
#include "task_scheduler.h"

namespace {

// Switching on twice keeps one task; a failed refresh with no credential held asks again
// at the retry pace, not at the interval; closing removes the task.
TEST(CredentialTaskTest, OneTaskRetriedSoonWhileNoneIsHeld) {
    ASSERT_EQ(initTaskScheduler(), 0);
    SERVICE_MONITOR_CTX_T ctx {};
    ASSERT_EQ(openCredentialTask(&ctx, 1000, -1), 0);
    ASSERT_EQ(openCredentialTask(&ctx, kCredentialTaskIntervalMs, 3), 0);
    EXPECT_EQ(getScheduleTaskNum(), 1);
    const TASK_NODE_T* task = findScheduleTask(kCredentialTaskName);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->intervalMs, kCredentialTaskIntervalMs);
    EXPECT_EQ(task->clientData, &ctx);
    const uint64_t now = get_time_ms();
    taskSchedulerProcAt(now + 1);
    taskSchedulerProcAt(now + 1 + kCredentialRetryMs + 1000);
    EXPECT_EQ(task->runTimes, 1);
    EXPECT_EQ(closeCredentialTask(&ctx), 0);
    EXPECT_EQ(findScheduleTask(kCredentialTaskName), nullptr);
    deinitTaskScheduler();
}

}  // namespace
