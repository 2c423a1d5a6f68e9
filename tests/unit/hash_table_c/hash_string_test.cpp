#include "hash_table_c/hash_string.h"

#include <gtest/gtest.h>

namespace {

TEST(HashString, IsDjb2OverUnsignedBytes) {
    EXPECT_EQ(hash_string(""), 5381U);
    EXPECT_EQ(hash_string("abc"), 193485963U);
    // A byte above 0x7f counts as unsigned whatever the signedness of char.
    EXPECT_EQ(hash_string("\xff"), 5381U * 33 + 255);
}

TEST(HashString, WrapsAroundIn64Bits) {
    uint64_t expected = 5381;
    const char text[] = "a fairly long metric name that overflows sixty-four bits";
    for (const char* p = text; *p != 0; ++p) {
        expected = expected * 33 + static_cast<unsigned char>(*p);
    }
    EXPECT_EQ(hash_string(text), expected);
}

TEST(HashStringDeathTest, NullStringAborts) {
    EXPECT_DEATH((void)hash_string(nullptr), "string");
}

}  // namespace
