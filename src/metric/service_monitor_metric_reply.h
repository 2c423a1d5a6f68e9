// The JSON reply to a metric post: its codes and the writer that keeps it valid UTF-8 JSON
// within the reply buffer. Pure functions, no state.
#ifndef SERVICE_MONITOR_METRIC_REPLY_H
#define SERVICE_MONITOR_METRIC_REPLY_H

#include <array>
#include <cstddef>

constexpr size_t kMetricReplyBufSize = 256;  // reply buffer handed to post_metric_data

// Result codes of post_metric_data (the reply's "code").
constexpr int kMetricCodeOk = 0;
constexpr int kMetricCodeEmpty = 100000;
constexpr int kMetricCodeBadInput = 100001;
constexpr int kMetricCodeNoMemory = 100002;
constexpr int kMetricCodeDisabled = 110100;
constexpr int kMetricCodeNotReady = 110101;
constexpr std::array<int, 5> kMetricRefusalCodes = {kMetricCodeEmpty, kMetricCodeBadInput,
                                                    kMetricCodeNoMemory, kMetricCodeDisabled,
                                                    kMetricCodeNotReady};

// Writes {"id":"<id>","code":<code>, "message":"<message>"} into dst with both texts
// escaped. When it would not fit, the id (then the message) is shortened at a character
// boundary so that dst still holds valid JSON. 0 when nothing was shortened, else -1.
[[nodiscard]] int package_reply_message(char* dst, size_t size, const char* id, const char* message,
                                        int code);

#endif
