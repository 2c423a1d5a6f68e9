#include "service_monitor_metric_data_cache.h"

#include <gtest/gtest.h>

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

TEST_F(MetricDataCacheTest, CollectRulesCombineSamples) {
    for (double v : {1.0, 2.0, 6.0}) {
        insert("svc", "updated", COLLECT_RULE_UPDATE, v);
        insert("svc", "summed", COLLECT_RULE_ACCUMULATE, v);
        insert("svc", "averaged", COLLECT_RULE_AVG, v);
    }
    EXPECT_DOUBLE_EQ(valueOf("svc", "updated"), 6);
    EXPECT_DOUBLE_EQ(valueOf("svc", "summed"), 9);
    EXPECT_DOUBLE_EQ(valueOf("svc", "averaged"), 3);
}

TEST_F(MetricDataCacheTest, RuleChangeMidPeriodUsesTheLatestRule) {
    insert("svc", "m", COLLECT_RULE_ACCUMULATE, 1);
    insert("svc", "m", COLLECT_RULE_ACCUMULATE, 2);
    insert("svc", "m", COLLECT_RULE_UPDATE, 5);
    const std::vector<Visit> visits = walk();
    ASSERT_EQ(visits.size(), 1U);
    EXPECT_DOUBLE_EQ(visits[0].value, 5);
    EXPECT_EQ(visits[0].rule, COLLECT_RULE_UPDATE);

    insert("svc", "m", 7, 100);  // unknown rule: value unchanged
    EXPECT_DOUBLE_EQ(valueOf("svc", "m"), 5);
}

TEST_F(MetricDataCacheTest, ClearForgetsEverythingAndCountsRestart) {
    insert("svc", "m", COLLECT_RULE_AVG, 10);
    insert("svc", "m", COLLECT_RULE_AVG, 20);
    ASSERT_EQ(clear_metric_data(cache), 0);
    double v = 0;
    EXPECT_EQ(get_metric_data(cache, "svc", "m", &v), -1);
    EXPECT_TRUE(walk().empty());

    insert("svc", "m", COLLECT_RULE_AVG, 4);  // a recycled node starts from count 1
    EXPECT_DOUBLE_EQ(valueOf("svc", "m"), 4);
    insert("svc", "m", COLLECT_RULE_AVG, 8);
    EXPECT_DOUBLE_EQ(valueOf("svc", "m"), 6);
    EXPECT_EQ(clear_metric_data(nullptr), -1);
}

TEST_F(MetricDataCacheTest, NodesAreRecycledThroughTheFreeLists) {
    EXPECT_EQ(metric_data_cache_free_modules(cache), 3U);
    EXPECT_EQ(metric_data_cache_free_metrics(cache), 4U);
    for (int i = 0; i < 5; ++i) {
        insert(("module" + std::to_string(i)).c_str(), "m", COLLECT_RULE_UPDATE, i);
    }
    EXPECT_EQ(metric_data_cache_free_modules(cache), 0U);  // 3 drawn, 2 allocated
    EXPECT_EQ(metric_data_cache_free_metrics(cache), 0U);  // 4 drawn, 1 allocated
    ASSERT_EQ(clear_metric_data(cache), 0);
    EXPECT_EQ(metric_data_cache_free_modules(cache), 5U);
    EXPECT_EQ(metric_data_cache_free_metrics(cache), 5U);

    // The next period of the same size takes every node from the free lists again.
    for (int i = 0; i < 5; ++i) {
        insert(("other" + std::to_string(i)).c_str(), "n", COLLECT_RULE_UPDATE, i);
    }
    EXPECT_EQ(metric_data_cache_free_modules(cache), 0U);
    EXPECT_EQ(metric_data_cache_free_metrics(cache), 0U);
    EXPECT_EQ(walk().size(), 5U);
    double v = 0;
    EXPECT_EQ(get_metric_data(cache, "module0", "m", &v), -1);
}

TEST_F(MetricDataCacheTest, NamesAreCutToTheirBuffers) {
    const std::string module63(63, 'a');
    const std::string metric31(31, 'b');
    METRIC_MESSAGE_T m = sample("", "", COLLECT_RULE_ACCUMULATE, 1);
    // Unterminated names: the cache keeps 63 and 31 bytes of them.
    memset(m.moduleName, 'a', sizeof m.moduleName);
    memset(m.metricName, 'b', sizeof m.metricName);
    ASSERT_EQ(insert_metric_data(cache, &m), 0);
    insert(module63.c_str(), metric31.c_str(), COLLECT_RULE_ACCUMULATE, 2);
    const std::vector<Visit> visits = walk();
    ASSERT_EQ(visits.size(), 1U);
    EXPECT_EQ(visits[0].module, module63);
    EXPECT_EQ(visits[0].metric, metric31);
    EXPECT_DOUBLE_EQ(visits[0].value, 3);
}

TEST_F(MetricDataCacheTest, WalkVisitsEveryMetricOfEveryModuleOnce) {
    EXPECT_TRUE(walk().empty());
    const char* const modules[] = {"svc/a", "svc/b", "other"};
    const char* const metrics[] = {"cpu", "mem", "disk", "net"};
    for (const char* module : modules) {
        for (const char* metric : metrics) insert(module, metric, COLLECT_RULE_UPDATE, 1);
    }
    const std::vector<Visit> visits = walk();
    EXPECT_EQ(visits.size(), 12U);
    for (const char* module : modules) {
        for (const char* metric : metrics) {
            int seen = 0;
            for (const Visit& v : visits) seen += v.module == module && v.metric == metric;
            EXPECT_EQ(seen, 1) << module << "/" << metric;
        }
    }
    iter_metric_data(cache, nullptr, nullptr);  // no callback: nothing happens
    iter_metric_data(nullptr, collect, nullptr);
}

TEST_F(MetricDataCacheTest, NullArgumentsAreRefused) {
    const METRIC_MESSAGE_T m = sample("svc", "m", COLLECT_RULE_UPDATE, 1);
    double v = 0;
    EXPECT_EQ(insert_metric_data(nullptr, &m), -1);
    EXPECT_EQ(insert_metric_data(cache, nullptr), -1);
    EXPECT_EQ(get_metric_data(cache, nullptr, "m", &v), -1);
    EXPECT_EQ(get_metric_data(cache, "svc", "m", nullptr), -1);
    EXPECT_EQ(get_metric_data(cache, "svc", "m", &v), -1);  // not cached
    metric_data_cache_deinit(nullptr);
}

TEST(MetricDataCacheLifecycle, DeinitFreesNodesInTablesAndFreeLists) {
    METRIC_DATA_CACHE_T* const cache = metric_data_cache_init();
    ASSERT_NE(cache, nullptr);
    for (int i = 0; i < 6; ++i) {
        const METRIC_MESSAGE_T m =
            sample(("mod" + std::to_string(i % 4)).c_str(), ("met" + std::to_string(i)).c_str(),
                   COLLECT_RULE_UPDATE, i);
        ASSERT_EQ(insert_metric_data(cache, &m), 0);
    }
    metric_data_cache_deinit(cache);  // the leak checker of the sanitizer build verifies this
}

}  // namespace
