// Reads a PostMetricData request in one pass without building a tree. It accepts and
// refuses exactly the texts cJSON_Parse accepts and refuses (leading byte-order mark and
// trailing text after the first value allowed, 1000 levels of nesting), and finds keys as
// cJSON_GetObjectItem finds them: the first member whose name matches in any letter case.
#ifndef SERVICE_MONITOR_METRIC_REQUEST_H
#define SERVICE_MONITOR_METRIC_REQUEST_H

#include <cstddef>
#include <cstdint>

enum class JsonKind : uint8_t { kAbsent, kString, kNumber, kArray, kObject, kOther };

// One value found in the request; at points into the request text.
struct JSON_VALUE_T {
    JsonKind kind = JsonKind::kAbsent;
    bool escaped = false;      // for kString: a backslash comes before the closing quote
    const char* at = nullptr;  // the opening quote or bracket
    double number = 0;         // for kNumber
    size_t count = 0;          // elements for kArray; bytes between the quotes for kString
};

struct METRIC_ENTRY_T {
    JSON_VALUE_T metricName, value, collectRule;
};

struct METRIC_REQUEST_T {
    static constexpr size_t kEntriesAhead = 16;
    JSON_VALUE_T id, ts, moduleName, params;
    const char* end = nullptr;  // the text's terminating NUL
    // The first params elements are read with the request; the rest on demand.
    METRIC_ENTRY_T entries[kEntriesAhead];
    const char* moreEntries = nullptr;  // the comma before element kEntriesAhead
};

// Where next_metric_entry stands in params.
struct METRIC_ENTRY_CURSOR_T {
    size_t index = 0;
    const char* at = nullptr;
    METRIC_ENTRY_T entry;
};

// Reads the request text. false when it is not JSON as cJSON sees it.
[[nodiscard]] bool read_metric_request(const char* text, METRIC_REQUEST_T* request);
// The next element of params (an array) in order, or null after the last. Only for a
// request that read_metric_request accepted.
[[nodiscard]] const METRIC_ENTRY_T* next_metric_entry(const METRIC_REQUEST_T& request,
                                                      METRIC_ENTRY_CURSOR_T* cursor);
// Copies a string value unescaped, cut to size - 1 bytes, ending as the C string cJSON
// makes of it (at an escaped NUL). The length of the whole unescaped C string.
size_t json_string_copy(const JSON_VALUE_T& value, char* dst, size_t size);

#endif
