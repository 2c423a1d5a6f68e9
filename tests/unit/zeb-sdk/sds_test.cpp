#include "zeb-sdk/sds.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Sds, EmptyStringGrowsToTwiceTheFirstAppend) {
    SdsPtr s(sdsWithRoom(0));
    ASSERT_TRUE(s);
    EXPECT_STREQ(s.get(), "");
    EXPECT_EQ(sdsLength(s.get()), 0u);
    EXPECT_EQ(sdsRoom(s.get()), 0u);
    ASSERT_TRUE(sdsUpdate(s, sdsAppendLen(s.get(), "abcdefghij", 10)));
    EXPECT_STREQ(s.get(), "abcdefghij");
    EXPECT_EQ(sdsLength(s.get()), 10u);
    EXPECT_EQ(sdsRoom(s.get()), 10u);
}

TEST(Sds, AppendWithinRoomDoesNotMove) {
    SdsPtr s(sdsWithRoom(16));
    ASSERT_TRUE(s);
    const char* before = s.get();
    ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "0123456789abcdef")));
    EXPECT_EQ(s.get(), before);
    EXPECT_EQ(sdsRoom(s.get()), 0u);
    ASSERT_TRUE(sdsUpdate(s, sdsAppendChar(s.get(), 'X')));
    // 17 used: doubled to 34, so 17 free behind the text.
    EXPECT_EQ(sdsLength(s.get()), 17u);
    EXPECT_EQ(sdsRoom(s.get()), 17u);
    EXPECT_EQ(std::string(s.get()), "0123456789abcdefX");
}

TEST(Sds, GrowthStepIsFixedFromOneMebibyte) {
    constexpr size_t kMiB = 1024 * 1024;
    SdsPtr small(sdsWithRoom(0));
    ASSERT_TRUE(sdsUpdate(small, sdsReserve(small.get(), kMiB - 1)));
    EXPECT_EQ(sdsRoom(small.get()), 2 * (kMiB - 1));

    SdsPtr big(sdsWithRoom(0));
    ASSERT_TRUE(sdsUpdate(big, sdsReserve(big.get(), kMiB + 10)));
    EXPECT_EQ(sdsRoom(big.get()), (kMiB + 10) + kMiB);
    const std::string fill(kMiB + 10, 'x');
    ASSERT_TRUE(sdsUpdate(big, sdsAppendLen(big.get(), fill.data(), fill.size())));
    EXPECT_EQ(sdsRoom(big.get()), kMiB);
    ASSERT_TRUE(sdsUpdate(big, sdsReserve(big.get(), kMiB + 1)));
    // needed = len + extra; new size = needed + 1 MiB; free = new size - len.
    EXPECT_EQ(sdsRoom(big.get()), (kMiB + 1) + kMiB);
    EXPECT_EQ(sdsLength(big.get()), kMiB + 10);
    EXPECT_EQ(std::string(big.get()), fill);
}

TEST(Sds, NullAndEmptyAppendsLeaveTheStringValid) {
    EXPECT_EQ(sdsAppend(nullptr, "x"), nullptr);
    SdsPtr s(sdsWithRoom(4));
    ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "ab")));
    EXPECT_EQ(sdsAppend(s.get(), nullptr), s.get());
    ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "")));
    EXPECT_STREQ(s.get(), "ab");
    EXPECT_EQ(sdsLength(s.get()), 2u);
    EXPECT_EQ(sdsRoom(s.get()), 2u);
    sdsRelease(nullptr);
}

TEST(Sds, BinaryBytesAreKeptWithTheirLength) {
    SdsPtr s(sdsWithRoom(0));
    const char bytes[] = {'a', '\0', 'b'};
    ASSERT_TRUE(sdsUpdate(s, sdsAppendLen(s.get(), bytes, sizeof bytes)));
    EXPECT_EQ(sdsLength(s.get()), 3u);
    EXPECT_EQ(std::string(s.get(), 3), std::string(bytes, 3));
    EXPECT_EQ(s.get()[3], '\0');
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
    // A long format takes the heap buffer from the start.
    const std::string fmt(3000, 'f');
    SdsPtr s(sdsWithRoom(0));
    ASSERT_TRUE(sdsUpdate(s, sdsAppendPrintf(s.get(), "%s%s", fmt.c_str(), fmt.c_str())));
    EXPECT_EQ(sdsLength(s.get()), 6000u);
}

TEST(Sds, ImpossibleGrowthFailsAndKeepsTheString) {
    SdsPtr s(sdsWithRoom(0));
    ASSERT_TRUE(sdsUpdate(s, sdsAppend(s.get(), "keep")));
    EXPECT_EQ(sdsReserve(s.get(), size_t{1} << 33), nullptr);
    EXPECT_STREQ(s.get(), "keep");
    EXPECT_EQ(sdsWithRoom(size_t{1} << 33), nullptr);
}

}  // namespace
