// The kind of a cJSON item in the terms of the one-pass request reader, for comparing the
// two (unit test and fuzzer).
#ifndef TESTS_UNIT_JSON_KIND_H
#define TESTS_UNIT_JSON_KIND_H

#include <cjson/cJSON.h>

#include "service_monitor_metric_request.h"

inline JsonKind kindOf(const cJSON* item) {
    if (item == nullptr) return JsonKind::kAbsent;
    if (cJSON_IsString(item)) return JsonKind::kString;
    if (cJSON_IsNumber(item)) return JsonKind::kNumber;
    if (cJSON_IsArray(item)) return JsonKind::kArray;
    if (cJSON_IsObject(item)) return JsonKind::kObject;
    return JsonKind::kOther;
}

#endif
