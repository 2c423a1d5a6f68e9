#include "service_monitor_metric_data_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

METRIC_MESSAGE_T sample(const char* module, const char* metric, uint32_t rule, double value) {
    METRIC_MESSAGE_T m{};
    snprintf(m.moduleName, sizeof m.moduleName, "%s", module);
    snprintf(m.metricName, sizeof m.metricName, "%s", metric);
    m.collectRule = rule;
    m.value = value;
    return m;
}

struct Visit {
    std::string module;
    std::string metric;
    uint32_t rule;
    double value;
};

int collect(const char* module, const char* metric, uint32_t rule, void* userData, double value) {
    static_cast<std::vector<Visit>*>(userData)->push_back({module, metric, rule, value});
    return 0;
}

class MetricDataCacheTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(cache, nullptr); }
    void TearDown() override { metric_data_cache_deinit(cache); }

    void insert(const char* module, const char* metric, uint32_t rule, double value) {
        const METRIC_MESSAGE_T m = sample(module, metric, rule, value);
        ASSERT_EQ(insert_metric_data(cache, &m), 0);
    }
    double valueOf(const char* module, const char* metric) {
        double v = -1;
        EXPECT_EQ(get_metric_data(cache, module, metric, &v), 0) << module << "/" << metric;
        return v;
    }
    std::vector<Visit> walk() {
        std::vector<Visit> visits;
        iter_metric_data(cache, collect, &visits);
        return visits;
    }

    METRIC_DATA_CACHE_T* cache = metric_data_cache_init();
};

TEST_F(MetricDataCacheTest, CollectRulesCombineSamplesAndTheLatestRuleCounts) {
    for (double v : {1.0, 2.0, 6.0}) {
        insert("svc", "updated", COLLECT_RULE_UPDATE, v);
        insert("svc", "summed", COLLECT_RULE_ACCUMULATE, v);
        insert("svc", "averaged", COLLECT_RULE_AVG, v);
    }
    EXPECT_DOUBLE_EQ(valueOf("svc", "updated"), 6);
    EXPECT_DOUBLE_EQ(valueOf("svc", "summed"), 9);
    EXPECT_DOUBLE_EQ(valueOf("svc", "averaged"), 3);

    insert("svc", "summed", COLLECT_RULE_UPDATE, 5);  // a rule change mid-period
    EXPECT_DOUBLE_EQ(valueOf("svc", "summed"), 5);
    for (const Visit& v : walk()) EXPECT_TRUE(v.metric != "summed" || v.rule == COLLECT_RULE_UPDATE);
    insert("svc", "summed", 7, 100);  // unknown rule: value unchanged
    EXPECT_DOUBLE_EQ(valueOf("svc", "summed"), 5);

    // Aggregates beyond the doubles are held at the largest uploadable value of their sign
    // for the rest of the period; cleared, the node holds nothing.
    const struct {
        const char* metric;
        uint32_t rule;
        std::vector<double> samples;
        double held;
    } overflows[] = {
        {"sum+", COLLECT_RULE_ACCUMULATE, {1e308, 1e308}, kMetricValueMax},
        {"sum-", COLLECT_RULE_ACCUMULATE, {-1e308, -1e308}, -kMetricValueMax},
        {"sticky", COLLECT_RULE_ACCUMULATE, {1e308, 1e308, -1e308, 5}, kMetricValueMax},
        {"mean", COLLECT_RULE_AVG, {DBL_MAX, -DBL_MAX}, 0},  // no overflow on the way
    };
    for (const auto& o : overflows) {
        for (double v : o.samples) insert("big", o.metric, o.rule, v);
        EXPECT_EQ(valueOf("big", o.metric), o.held) << o.metric;
    }
    ASSERT_EQ(clear_metric_data(cache), 0);
    insert("big", "sticky", COLLECT_RULE_ACCUMULATE, 2);
    EXPECT_EQ(valueOf("big", "sticky"), 2);
}

// Every metric of every module is walked once; cleared nodes serve the next period afresh.
TEST_F(MetricDataCacheTest, WalkAndClearForTheNextPeriod) {
    for (const char* module : {"svc/a", "svc/b", "other"}) {
        for (const char* metric : {"cpu", "mem", "disk", "net"}) insert(module, metric, COLLECT_RULE_AVG, 10);
    }
    std::vector<std::string> seen;
    for (const Visit& v : walk()) seen.push_back(v.module + "/" + v.metric);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen.size(), 12U);

    ASSERT_EQ(clear_metric_data(cache), 0);
    EXPECT_TRUE(walk().empty());
    double v = 0;
    EXPECT_EQ(get_metric_data(cache, "svc/a", "cpu", &v), -1);
    for (const char* module : {"n1", "n2", "n3"}) insert(module, "n", COLLECT_RULE_AVG, 4);
    insert("n1", "n", COLLECT_RULE_AVG, 8);
    EXPECT_DOUBLE_EQ(valueOf("n1", "n"), 6);
    EXPECT_EQ(metric_data_cache_free_modules(cache), 0U);  // taken from the cleared ones
    EXPECT_EQ(clear_metric_data(nullptr), -1);
}

TEST_F(MetricDataCacheTest, NamesAreCutToTheirBuffers) {
    METRIC_MESSAGE_T m = sample("", "", COLLECT_RULE_ACCUMULATE, 1);
    // Unterminated names: the cache keeps 63 and 31 bytes of them.
    memset(m.moduleName, 'a', sizeof m.moduleName);
    memset(m.metricName, 'b', sizeof m.metricName);
    ASSERT_EQ(insert_metric_data(cache, &m), 0);
    insert(std::string(63, 'a').c_str(), std::string(31, 'b').c_str(), COLLECT_RULE_ACCUMULATE, 2);
    const std::vector<Visit> visits = walk();
    ASSERT_EQ(visits.size(), 1U);
    EXPECT_EQ(visits[0].module, std::string(63, 'a'));
    EXPECT_EQ(visits[0].metric, std::string(31, 'b'));
    EXPECT_DOUBLE_EQ(visits[0].value, 3);
}

}  // namespace
