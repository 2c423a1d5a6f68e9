#include "service_monitor_metric_upload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "upload_fixture.h"

namespace {

// A period's ts is never earlier than the previous one's plus 1 ms, whatever the wall clock.
TEST_F(MetricUploadTest, PeriodTsOnlyMovesForward) {
    const struct {
        int64_t step;  // of the wall clock before the hand-over
        uint64_t ts;   // after kWallStart
    } rows[] = {{0, 0}, {-102000, 1}, {60000, 2}, {60000, 18000}};
    for (const auto& row : rows) {
        g_wall.fetch_add(static_cast<uint64_t>(row.step));
        EXPECT_EQ(metric_upload_next_ts(&upload), kWallStart + row.ts) << row.step;
    }
}

TEST_F(MetricUploadTest, FixedNameWrapperUploadsOneMetricAsItsBody) {
    snprintf(registration.names.groupId, sizeof registration.names.groupId, "g-1");
    snprintf(registration.names.instanceId, sizeof registration.names.instanceId, "i-1");
    EXPECT_EQ(UploadMetircDataToCloud("svc/fn/rest", "cpu", COLLECT_RULE_AVG, &upload, 2.5), 0);
    EXPECT_EQ(uploadedBodies(), std::vector<std::string>{
        R"([{"productCode":"NODE_HUB","metricName":"cpu","groupId":"g-1","instanceId":"i-1",)"
        R"("dimensions":{"region":"cn-hangzhou","serviceName":"svc","functionName":"fn"},)"
        R"("value":2.5,"ts":1700000000000}])"});
    CloudSdkDeinitIF(registration.sdkHandle.exchange(nullptr));
    EXPECT_EQ(UploadMetircDataToCloud("svc", "cpu", COLLECT_RULE_AVG, &upload, 1), -1);
}

}  // namespace
