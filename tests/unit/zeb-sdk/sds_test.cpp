#include "sds.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Sds, AppendsKeepBytesAndLength) {
    SdsPtr s(sdsWithRoom(0));
    ASSERT_TRUE(s);
    const char bytes[] = {'a', '\0', 'b'};
    ASSERT_TRUE(sdsUpdate(s, sdsAppendLen(s.get(), bytes, sizeof bytes)));
    ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "")));
    ASSERT_TRUE(sdsUpdate(s, sdsAppendChar(s.get(), 'X')));
    EXPECT_EQ(sdsLength(s.get()), 4u);
    EXPECT_EQ(std::string(s.get(), 5), std::string("a\0bX\0", 5));
    EXPECT_EQ(sdsAppend(s.get(), nullptr), s.get());
}

TEST(Sds, FormattedAppendOfAnyLength) {
    for (const size_t n : {0u, 1u, 1021u, 1022u, 1023u, 1024u, 5000u, 70000u}) {
        const std::string arg(n, 'q');
        SdsPtr s(sdsWithRoom(8));
        ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "<")));
        ASSERT_TRUE(sdsUpdate(s, sdsAppendPrintf(s.get(), "%s|%d>", arg.c_str(), 42)));
        EXPECT_EQ(std::string(s.get()), "<" + arg + "|42>") << n;
        EXPECT_EQ(sdsLength(s.get()), n + 5) << n;
    }
}

// Growth past what can be allocated fails cleanly instead of wrapping the size.
TEST(Sds, ImpossibleGrowthFailsAndKeepsTheString) {
    SdsPtr s(sdsWithRoom(0));
    ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "keep")));
    EXPECT_EQ(sdsReserve(s.get(), size_t{1} << 33), nullptr);
    EXPECT_EQ(sdsReserve(s.get(), SIZE_MAX - 2), nullptr);
    EXPECT_STREQ(s.get(), "keep");
    EXPECT_EQ(sdsWithRoom(size_t{1} << 33), nullptr);
}

}  // namespace
