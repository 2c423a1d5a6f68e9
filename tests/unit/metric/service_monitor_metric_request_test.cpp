// The request reader against cJSON, the reference it replaces on the ingestion path: for
// hand-picked edge cases and seeded mutations of them, both accept the same texts and find
// the same values under the same keys.
#include "service_monitor_metric_request.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "json_kind.h"
#include "raii.h"

namespace {

void expectSame(const cJSON* item, const JSON_VALUE_T& value, const std::string& text) {
    ASSERT_EQ(kindOf(item), value.kind) << text;
    if (value.kind == JsonKind::kNumber) {
        EXPECT_TRUE(item->valuedouble == value.number ||
                    (std::isnan(item->valuedouble) && std::isnan(value.number))) << text;
    } else if (value.kind == JsonKind::kString) {
        std::string copy(json_string_copy(value, nullptr, 0), '\0');
        (void)json_string_copy(value, &copy[0], copy.size() + 1);
        EXPECT_EQ(copy, item->valuestring) << text;
    } else if (value.kind == JsonKind::kArray) {
        EXPECT_EQ(static_cast<size_t>(cJSON_GetArraySize(item)), value.count) << text;
    }
}

void expectAsCJson(const std::string& text) {
    const CJsonPtr root(cJSON_Parse(text.c_str()));
    METRIC_REQUEST_T request;
    ASSERT_EQ(read_metric_request(text.c_str(), &request), root != nullptr) << text;
    if (!root) return;
    expectSame(cJSON_GetObjectItem(root.get(), "id"), request.id, text);
    expectSame(cJSON_GetObjectItem(root.get(), "ts"), request.ts, text);
    expectSame(cJSON_GetObjectItem(root.get(), "moduleName"), request.moduleName, text);
    expectSame(cJSON_GetObjectItem(root.get(), "params"), request.params, text);
    if (request.params.kind != JsonKind::kArray) return;
    METRIC_ENTRY_CURSOR_T cursor;
    const cJSON* element = cJSON_GetObjectItem(root.get(), "params")->child;
    for (const METRIC_ENTRY_T* entry = next_metric_entry(request, &cursor); entry != nullptr;
         entry = next_metric_entry(request, &cursor), element = element->next) {
        ASSERT_NE(element, nullptr) << text;
        expectSame(cJSON_GetObjectItem(element, "metricName"), entry->metricName, text);
        expectSame(cJSON_GetObjectItem(element, "value"), entry->value, text);
        expectSame(cJSON_GetObjectItem(element, "collectRule"), entry->collectRule, text);
    }
    EXPECT_EQ(element, nullptr) << text;
}

std::vector<std::string> edgeCases() {
    std::string many = R"({"ts":1,"params":[)";
    for (int i = 0; i < 40; ++i) {
        many += i == 0 ? "" : ", ";
        many += i % 7 == 3 ? "7" : R"({"metricName":"m)" + std::to_string(i) +
                                       R"(","value":)" + std::to_string(i) +
                                       R"(,"collectRule":"avg"})";
    }
    return {
        many + "]}",
        R"({"id":"req-1","ts":1700000001000,"moduleName":"svc/func","params":[{"metricName":"cpu","value":12.5,"collectRule":"update"}]})",
        R"({"ID":"a\u00e9\ud83d\ude00b","TS":-1.5e3,"MODULENAME":"x\/y\n","Params":[{"METRICNAME":"m","Value":1e309,"collectrule":"Accumulate"}, 3, "s", [1,2], null]} trailing)",
        "\xEF\xBB\xBF {\"id\":\"\\u0000x\",\"id\":\"second\",\"ts\":true,\"params\":{}}",
        R"([{"id":"1"}])",
        R"({"a":[[[[]]]],"b":{"c":{"d":null}},"ts":01.5e+2,"params":[]})",
        R"({"id":"\uZZZZabc","ts":+1,"moduleName":"\ud800\udc00","x":"\udc00"})",
        R"({"i\u0064":"escaped key","ts":1,"params":[{}]})",
        "{\"id\":\"raw\x01" "ctl\xff\",\"ts\":1}",
        R"({"ts":1.5.5,"x":--1,"y":1e,"z":0x10,"w":.5,"v":1.})",
        "{\"ts\":" + std::string(70, '7') + ",\"id\":\"long number\"}",
        R"({"ts":1 , "params" : [ { "metricName" : "a" , "value" : -0 , "collectRule" : "avg" } ] })",
        "{\"a\":" + std::string(999, '[') + std::string(999, ']') + "}",
        "{\"a\":" + std::string(1000, '[') + std::string(1000, ']') + "}",
        R"({"a":1,})", R"({"a" 1})", R"({"a":tru})", "", "   ", R"({"a":"\x"})",
    };
}

TEST(MetricRequestReader, ReadsWhatCJsonReadsAndFindsTheSameKeys) {
    const std::vector<std::string> cases = edgeCases();
    for (const std::string& text : cases) expectAsCJson(text);

    // Seeded mutations: replay a failure with the printed text.
    static const char kAlphabet[] = "{}[]\",:\\u0123456789abcdefnulltruefalse.eE+- \t\n\x01\xc3\xa9/";
    std::mt19937 random(20261206);
    for (int i = 0; i < 20000 && !HasFailure(); ++i) {
        std::string text = cases[random() % cases.size()];
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
            const size_t at = random() % (text.size() + 1);
            const char c = kAlphabet[random() % (sizeof kAlphabet - 1)];
            switch (random() % 3) {
                case 0: text.erase(at, 1 + random() % 3); break;
                case 1: text.insert(at, 1, c); break;
                default: text.insert(at, text.substr(random() % (text.size() + 1), random() % 10));
            }
        }
        expectAsCJson(text);
    }
}

}  // namespace
