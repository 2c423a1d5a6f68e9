#include "service_monitor_metric_pre_task.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "log_capture.h"
#include "zeb-sdk/cloud_client.h"

namespace {

// A registration run stalled across a quick off and on must not mark the new enable's row.
TEST(PreTasks, ARunStartedBeforeADisableNeverMarksTheNextEnable) {
    ASSERT_EQ(initTaskScheduler(), 0);
    METRIC_REGISTRATION_T registration;
    ASSERT_EQ(start_pre_task(&registration), 0);
    const uint64_t stale = pre_task_generation();
    ASSERT_EQ(stop_pre_task(&registration), 0);
    ASSERT_EQ(start_pre_task(&registration), 0);
    PRE_TASK_T& row = g_preTasks[2];
    TASK_NODE_T* const task = findScheduleTask(row.name);
    EXPECT_FALSE(mark_pre_task_done(task, &row, stale));
    EXPECT_FALSE(row.done);
    EXPECT_EQ(findScheduleTask(row.name), task);  // the new enable's task runs on
    EXPECT_TRUE(mark_pre_task_done(task, &row, pre_task_generation()));
    EXPECT_TRUE(row.done);
    EXPECT_EQ(findScheduleTask(row.name), nullptr);
    (void)stop_pre_task(&registration);
    deinitTaskScheduler();
}

int readAllButAccountId(CFG_CONN_T*, const char* key, char* buf, int size) {
    if (strcmp(key, "gw_account_id") == 0) return -1;
    snprintf(buf, static_cast<size_t>(size), "value");
    return 0;
}

// Without the account id the registration stops before any management call.
TEST(PreTasks, NoRegistrationWithoutTheAccountId) {
    METRIC_REGISTRATION_T registration;
    registration.readConfig = readAllButAccountId;
    const ClientPtr sdk(CloudSdkInitIF("id", "secret", "", 0));
    const std::string host = "127.0.0.1:" + std::to_string(closedLoopbackPort());
    sdk->apiHost = host.c_str();
    auto& log = LogCapture::begin();
    EXPECT_FALSE(metric_register_gateway(&registration, sdk.get()));
    const std::string text = log.take();
    EXPECT_NE(text.find("get config(gw_account_id) failed"), std::string::npos) << text;
    EXPECT_EQ(text.find("create group("), std::string::npos) << text;
}

}  // namespace
