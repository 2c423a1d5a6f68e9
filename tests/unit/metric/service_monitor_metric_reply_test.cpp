#include "service_monitor_metric_reply.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "metric_reply.h"

namespace {

TEST(PackageReplyMessage, FormatsEscapesAndShortens) {
    char buf[kMetricReplyBufSize];
    EXPECT_EQ(package_reply_message(buf, sizeof buf, "id", "text", 100001), 0);
    EXPECT_STREQ(buf, R"({"id":"id","code":100001, "message":"text"})");

    // Bytes that are not UTF-8 become U+FFFD, control characters are escaped.
    EXPECT_EQ(package_reply_message(buf, sizeof buf, "\xff\x1f", "a\xc3", 0), 0);
    EXPECT_STREQ(buf, R"({"id":"\ufffd\u001f","code":0, "message":"a\ufffd"})");

    // A message that alone overflows is shortened too, the id first to nothing.
    const std::string controls(127, '\x01');
    EXPECT_EQ(package_reply_message(buf, sizeof buf, "id", controls.c_str(), 1), -1);
    const std::optional<MetricReply> r = parseMetricReply(buf);
    ASSERT_TRUE(r) << buf;
    EXPECT_EQ(r->id, "");
    EXPECT_EQ(r->message, std::string((255 - 32) / 6, '\x01'));

    char tiny[10];
    EXPECT_EQ(package_reply_message(tiny, sizeof tiny, "", "", 0), -1);
    EXPECT_STREQ(tiny, "");
}

}  // namespace
