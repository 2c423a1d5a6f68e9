#include "service_monitor_metric_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "metric_reply.h"

namespace {

constexpr uint64_t kStart = 1700000000000ULL;
constexpr uint64_t kEnd = kStart + 60000;

struct Reply : MetricReply {
    std::string text;
};

std::string entry(const std::string& metric, const std::string& rule, double value = 1) {
    return R"({"metricName":")" + metric + R"(","value":)" + std::to_string(value) +
           R"(,"collectRule":")" + rule + R"("})";
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

std::string request(const std::string& params, double ts = kStart + 1000,
                    const std::string& module = "svc/func", const std::string& id = "req-1") {
    return R"({"id":")" + id + R"(","ts":)" + std::to_string(ts) + R"(,"moduleName":")" + module +
           R"(","params":[)" + params + "]}";
}

class PostMetricDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(initMessageQueue(&manager.ingest.metricDataQueue), 0);
        manager.period.periodStartMs = kStart;
        manager.period.periodEndMs = kEnd;
        manager.period.periodMs = 60000;
        manager.enable = 1;
        manager.registration.dependReady = 1;
        for (PRE_TASK_T& task : g_preTasks) task.done = true;
    }
    void TearDown() override {
        drain();
        for (PRE_TASK_T& task : g_preTasks) task.done = false;
    }

    Reply post(const char* json, METRIC_DATA_MANAGER_T* m) {
        char buf[kMetricReplyBufSize];
        memset(buf, 'x', sizeof buf);
        const int result = post_metric_data(m, json, buf);
        Reply r;
        r.text = buf;
        const std::optional<MetricReply> parsed = parseMetricReply(buf);
        EXPECT_TRUE(parsed) << r.text;
        if (parsed) static_cast<MetricReply&>(r) = *parsed;
        EXPECT_EQ(result, r.code == 0 ? 0 : -1) << r.text;
        return r;
    }
    Reply post(const std::string& json) { return post(json.c_str(), &manager); }

    // What was queued, as "module/metric rule value" lines; each request is one batch.
    std::vector<std::string> drain() {
        std::vector<std::string> out;
        MSG_NODE_T* node = nullptr;
        while (popMessageFromQueue(&manager.ingest.metricDataQueue, 0, &node) == 0) {
            const auto batch = takeMetricBatch(node);
            EXPECT_FALSE(batch->messages.empty());
            for (const METRIC_MESSAGE_T& m : batch->messages) {
                out.push_back(std::string(m.moduleName) + "/" + m.metricName + " " +
                              std::to_string(m.collectRule) + " " + std::to_string(m.value));
            }
            out.push_back("--");
        }
        return out;
    }

    METRIC_DATA_MANAGER_T manager;
};

TEST_F(PostMetricDataTest, AcceptedEntriesAreQueuedUpToTheFirstBadOne) {
    using Lines = std::vector<std::string>;
    const std::string update = " " + std::to_string(COLLECT_RULE_UPDATE);
    const std::string avg = " " + std::to_string(COLLECT_RULE_AVG);
    const std::string acc = " " + std::to_string(COLLECT_RULE_ACCUMULATE);
    const struct {
        std::string json;
        int code;
        Lines queued;
    } cases[] = {
        {request(entry("cpu", "update", 12.5) + "," + entry("mem", "avg", 3)), kMetricCodeOk,
         {"svc/func/cpu" + update + " 12.500000", "svc/func/mem" + avg + " 3.000000", "--"}},
        {request(entry("first", "update") + "," + entry("second", "max") + R"(,{"value":1})"),
         kMetricCodeBadInput, {"svc/func/first" + update + " 1.000000", "--"}},
        // Keys and rules in any letter case.
        {R"({"ID":"x","TS":1700000001000,"ModuleName":"svc","PARAMS":[)"
         R"({"MetricName":"m","VALUE":2,"collectrule":"Accumulate"},)"
         R"({"metricname":"n","Value":3,"COLLECTRULE":"AVG"}]})",
         kMetricCodeOk, {"svc/m" + acc + " 2.000000", "svc/n" + avg + " 3.000000", "--"}},
        // A rule with escapes is read unescaped.
        {request(entry("e", "\\u0055pdat\\u0065") + "," + entry("f", "\\u0061vg")),
         kMetricCodeOk,
         {"svc/func/e" + update + " 1.000000", "svc/func/f" + avg + " 1.000000", "--"}},
        // Names are cut to their buffers, never inside a UTF-8 character.
        {request(entry(std::string(40, 'm'), "update"), kStart, std::string(70, 's')),
         kMetricCodeOk,
         {std::string(63, 's') + "/" + std::string(31, 'm') + update + " 1.000000", "--"}},
        {request(entry(repeat("\xe5\xba\xa6", 11), "update") + "," +
                     entry(repeat("\\ud83d\\ude00", 8), "update"), kStart, repeat("\xc3\xa9", 32)),
         kMetricCodeOk,
         {repeat("\xc3\xa9", 31) + "/" + repeat("\xe5\xba\xa6", 10) + update + " 1.000000",
          repeat("\xc3\xa9", 31) + "/" + repeat("\xf0\x9f\x98\x80", 7) + update + " 1.000000",
          "--"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(post(c.json).code, c.code) << c.json;
        EXPECT_EQ(drain(), c.queued) << c.json;
    }
    EXPECT_EQ(post(request(entry("cpu", "update"))).text, R"({"id":"req-1","code":0, "message":""})");
}

TEST_F(PostMetricDataTest, NothingIsTakenWithoutArgumentsSwitchOrReadyServices) {
    EXPECT_EQ(post("{not json", nullptr).message, "invalid input params");
    EXPECT_EQ(post(nullptr, &manager).code, kMetricCodeBadInput);

    g_preTasks[1].done = false;
    manager.registration.dependReady = 0;
    Reply r = post(request(entry("cpu", "update")));
    EXPECT_EQ(r.code, kMetricCodeNotReady);
    EXPECT_EQ(r.message, "the dependent service are not ready");
    g_preTasks[1].done = true;
    EXPECT_EQ(post(request(entry("cpu", "update"))).code, kMetricCodeOk);
    EXPECT_EQ(manager.registration.dependReady, 1U);
    drain();

    manager.enable = 0;  // checked before the request is parsed
    r = post("{not json");
    EXPECT_EQ(r.code, kMetricCodeDisabled);
    EXPECT_EQ(r.message, "metric module is disable");
    EXPECT_EQ(post(request(entry("cpu", "update"))).code, kMetricCodeDisabled);
    EXPECT_TRUE(drain().empty());
}

TEST_F(PostMetricDataTest, EveryMalformedRequestHasItsMessage) {
    const struct {
        std::string json;
        const char* message;
        int code = kMetricCodeBadInput;
    } cases[] = {
        {request(""), "", kMetricCodeEmpty},
        {"{\"ts\":", "invalid json format"},
        {R"({"moduleName":"m","params":[]})", "json object(ts) is invalid"},
        {R"({"ts":"1700000001000","moduleName":"m","params":[]})", "json object(ts) is invalid"},
        {R"({"ts":1700000001000,"params":[]})", "json object(moduleName) is invalid"},
        {R"({"ts":1700000001000,"moduleName":7,"params":[]})",
         "json object(moduleName) is invalid"},
        {R"({"ts":1700000001000,"moduleName":"m"})", "json object(params) is invalid"},
        {R"({"ts":1700000001000,"moduleName":"m","params":{}})", "json object(params) is invalid"},
        {request(R"({"value":1,"collectRule":"avg"})"), "json object(metricName) is invalid"},
        {request("42"), "json object(metricName) is invalid"},
        {request(R"({"metricName":"m","value":"1","collectRule":"avg"})"),
         "json object(value) is invalid"},
        {request(R"({"metricName":"m","value":1e309,"collectRule":"avg"})"),
         "json object(value) is invalid"},
        {request(R"({"metricName":"m","value":-1e309,"collectRule":"avg"})"),
         "json object(value) is invalid"},
        {request(R"({"metricName":"m","value":1,"collectRule":3})"),
         "json object(collectRule) is invalid"},
        {request(entry("m", "max")), "invalid collect rule:max"},
        {request(entry("m", "")), "invalid collect rule:"},
        {request(entry("m", "m\\u0061x")), "invalid collect rule:max"},
        {request(entry("m", "av\\u0000g")), "invalid collect rule:av"},
    };
    for (const auto& c : cases) {
        const Reply r = post(c.json);
        EXPECT_EQ(r.code, c.code) << c.json;
        EXPECT_EQ(r.message, c.message) << c.json;
    }
    EXPECT_TRUE(drain().empty());
}

TEST_F(PostMetricDataTest, TsWindowIncludesBothWidenedBounds) {
    EXPECT_EQ(post(request(entry("a", "update"), kStart - 3000)).code, kMetricCodeOk);
    EXPECT_EQ(post(request(entry("b", "update"), kEnd + 3000)).code, kMetricCodeOk);
    EXPECT_EQ(drain().size(), 4U);  // two batches of one entry

    Reply r = post(request(entry("c", "update"), kStart - 3001));
    EXPECT_EQ(r.code, kMetricCodeBadInput);
    EXPECT_EQ(r.message, "ts(1699999996999.000000) not in  1700000000000~ 1700000060000, +-3000");
    r = post(request(entry("d", "update"), kEnd + 3001));
    EXPECT_EQ(r.message, "ts(1700000063001.000000) not in  1700000000000~ 1700000060000, +-3000");
    EXPECT_TRUE(drain().empty());

    // A period that starts within the tolerance of the epoch does not wrap around.
    manager.period.periodStartMs = 1000;
    manager.period.periodEndMs = 61000;
    EXPECT_EQ(post(request(entry("e", "update"), 0)).code, kMetricCodeOk);
}

// A request is queued whole or refused whole; the period's summary counts both. One that
// could never fit, however empty the queue, is refused as bad input rather than as "later".
TEST_F(PostMetricDataTest, FullQueueRefusesWholeRequestsAndThePeriodCountsThem) {
    const std::string two = entry("a", "update") + "," + entry("b", "update");
    EXPECT_EQ(post(request(two)).code, kMetricCodeOk);
    const size_t cost = manager.ingest.metricDataQueue.bytes;
    manager.ingest.metricDataQueue.limitBytes = cost + cost / 2;  // room for three entries at most
    const std::string three = two + "," + entry("c", "max");
    const struct {
        std::string params;
        int code;
        const char* message;
    } refusals[] = {
        {two, kMetricCodeNoMemory, "metric queue is full"},
        {three, kMetricCodeNoMemory, "metric queue is full"},
        {three + "," + entry("d", "update"), kMetricCodeBadInput,
         "too many params: 4, at most 3 per request"},
    };
    for (const auto& refusal : refusals) {
        const Reply r = post(request(refusal.params));
        EXPECT_EQ(r.code, refusal.code) << refusal.params;
        EXPECT_EQ(r.message, refusal.message);
    }
    EXPECT_EQ(drain().size(), 3U);  // the first request only
    EXPECT_EQ(post(request(two)).code, kMetricCodeOk);
    EXPECT_EQ(post(request(entry("x", "max"))).code, kMetricCodeBadInput);

    char line[640];
    metric_period_summary(&manager.period, line, sizeof line);
    EXPECT_EQ(std::string(line), "period summary: samples accepted 4, dropped by disable 0, "
                                 "requests refused 100000:0 100001:2 100002:2 110100:0 110101:0, "
                                 "queue peak " + std::to_string(cost) +
                                     " bytes, uploads accepted 0 failed 0, backlog 0 metrics 0 "
                                     "bytes, kept 0 retried 0 uploaded 0, dropped full 0 age 0 "
                                     "refused 0 instance 0, records cut 0");
}

// Whatever was taken before a disable never reaches the cache, even a chain the manager
// thread popped before the disable and merges after a quick re-enable; all of it is counted.
TEST_F(PostMetricDataTest, DisableDropsEverySampleTakenBeforeItAndCountsThem) {
    manager.period.cache = metric_data_cache_init();
    const auto mergeQueued = [this] {
        MSG_NODE_T* chain = nullptr;
        EXPECT_EQ(popAllMessagesFromQueue(&manager.ingest.metricDataQueue, 0, &chain), 0);
        return chain;
    };
    ASSERT_EQ(post(request(entry("merged", "update"))).code, kMetricCodeOk);
    (void)metric_merge_chain(&manager.period, mergeQueued());
    ASSERT_EQ(post(request(entry("a", "update") + "," + entry("b", "update"))).code, kMetricCodeOk);
    ASSERT_EQ(post(request(entry("c", "update"))).code, kMetricCodeOk);
    MSG_NODE_T* const popped = mergeQueued();
    ASSERT_EQ(post(request(entry("queued", "update"))).code, kMetricCodeOk);

    ASSERT_EQ(metric_data_manager_disable(&manager), 0);
    manager.enable = 1;  // on again at once
    for (PRE_TASK_T& task : g_preTasks) task.done = true;
    ASSERT_EQ(post(request(entry("after", "update"))).code, kMetricCodeOk);
    (void)metric_merge_chain(&manager.period, popped);
    (void)metric_merge_chain(&manager.period, mergeQueued());

    std::vector<std::string> cached;
    iter_metric_data(manager.period.cache, [](const char*, const char* metric, uint32_t, void* out, double) {
        static_cast<std::vector<std::string>*>(out)->push_back(metric);
        return 0;
    }, &cached);
    EXPECT_EQ(cached, std::vector<std::string>{"after"});
    char line[384];
    metric_period_summary(&manager.period, line, sizeof line);
    EXPECT_NE(std::string(line).find("samples accepted 6, dropped by disable 5,"),
              std::string::npos) << line;
    metric_data_cache_deinit(manager.period.cache);
}

TEST_F(PostMetricDataTest, RepliesStayJsonWhateverTheIdAndRuleHold) {
    const char* const ids[] = {R"(a\"b)", R"(back\\slash)", R"(\u0001\n\t)", "caf\xc3\xa9",
                               R"(\ud83d\ude00)"};
    const char* const decoded[] = {"a\"b", "back\\slash", "\x01\n\t", "caf\xc3\xa9",
                                   "\xf0\x9f\x98\x80"};
    for (size_t i = 0; i < std::size(ids); ++i) {
        EXPECT_EQ(post(request("", kStart, "m", ids[i])).id, decoded[i]);
    }
    EXPECT_EQ(post(R"({"id":12,"ts":1700000001000,"moduleName":"m","params":[]})").id, "");
    EXPECT_EQ(post(R"({"id":"abc","ts":"bad"})").id, "abc");  // echoed on failures too
    const Reply r = post(request(entry("m", R"(x\"}, \"code\":0 \\)")));
    EXPECT_EQ(r.code, kMetricCodeBadInput);
    EXPECT_EQ(r.message, R"(invalid collect rule:x"}, "code":0 \)");
}

TEST_F(PostMetricDataTest, LongIdIsShortenedNotTheDocument) {
    const std::string longId(300, 'i');
    Reply r = post(request("", kStart, "m", longId));
    EXPECT_EQ(r.code, kMetricCodeEmpty);
    EXPECT_EQ(r.text.size(), kMetricReplyBufSize - 1);
    EXPECT_EQ(longId.compare(0, r.id.size(), r.id), 0);

    // Multi-byte characters and escapes are never split.
    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "\xe2\x82\xac\\\"";  // euro sign, escaped quote
    r = post(request(entry("m", "max"), kStart, "m", wide));
    EXPECT_EQ(r.message, "invalid collect rule:max");
    EXPECT_FALSE(r.id.empty());
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += "\xe2\x82\xac\"";
    EXPECT_EQ(expected.compare(0, r.id.size(), r.id), 0);
}

}  // namespace
