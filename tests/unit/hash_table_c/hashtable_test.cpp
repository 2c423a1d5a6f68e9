#include "hash_table_c/hashtable.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Entry {
    HASH_NODE_T chain;
    const char* key;
};

// Keys starting with the same letter share a bucket.
uint64_t firstLetter(const void* key) {
    return static_cast<unsigned char>(*static_cast<const char*>(key));
}

int sameKey(const void* key, const HASH_NODE_T* node) {
    return strcmp(static_cast<const char*>(key), reinterpret_cast<const Entry*>(node)->key) == 0;
}

struct Replaced {
    HASH_NODE_T* oldNode = nullptr;
    HASH_NODE_T* newNode = nullptr;
    int calls = 0;
};

void recordReplace(HASH_NODE_T* oldNode, HASH_NODE_T* newNode, void* userData) {
    auto* r = static_cast<Replaced*>(userData);
    r->oldNode = oldNode;
    r->newNode = newNode;
    ++r->calls;
}

class HashtableTest : public ::testing::Test {
protected:
    void SetUp() override {
        hashtable_init(&table, buckets, 4, firstLetter, sameKey, recordReplace, &replaced);
    }
    HASH_NODE_T* buckets[4] = {};
    HASHTABLE_T table{};
    Replaced replaced;
};

TEST_F(HashtableTest, InsertLookupAndRemove) {
    Entry a{{nullptr}, "apple"};
    Entry b{{nullptr}, "banana"};
    EXPECT_TRUE(hashtable_empty(&table));
    hashtable_insert(&table, a.key, &a.chain);
    hashtable_insert(&table, b.key, &b.chain);
    EXPECT_EQ(hashtable_size(&table), 2U);
    EXPECT_EQ(hashtable_lookup_key(&table, "apple"), &a.chain);
    EXPECT_TRUE(hashtable_contains_key(&table, "banana"));
    EXPECT_FALSE(hashtable_contains_key(&table, "cherry"));

    hashtable_remove_key(&table, "cherry");  // absent: nothing changes
    EXPECT_EQ(hashtable_size(&table), 2U);
    hashtable_remove_key(&table, "apple");
    EXPECT_EQ(hashtable_size(&table), 1U);
    EXPECT_EQ(hashtable_lookup_key(&table, "apple"), nullptr);
    EXPECT_EQ(a.chain.next, HASHTABLE_POISON);
    EXPECT_EQ(hashtable_num_buckets(&table), 4U);
    EXPECT_EQ(hashtable_bucket_array(&table), buckets);
}

TEST_F(HashtableTest, EqualKeyReplacesInPlaceAndPoisonsTheOldEntry) {
    Entry first{{nullptr}, "kiwi"};
    Entry older{{nullptr}, "kale"};
    Entry second{{nullptr}, "kiwi"};
    hashtable_insert(&table, older.key, &older.chain);
    hashtable_insert(&table, first.key, &first.chain);  // chain: first, older
    hashtable_insert(&table, second.key, &second.chain);

    EXPECT_EQ(hashtable_size(&table), 2U);
    EXPECT_EQ(hashtable_lookup_key(&table, "kiwi"), &second.chain);
    EXPECT_EQ(first.chain.next, HASHTABLE_POISON);
    EXPECT_EQ(second.chain.next, &older.chain);  // took the old entry's place
    EXPECT_EQ(replaced.calls, 1);
    EXPECT_EQ(replaced.oldNode, &first.chain);
    EXPECT_EQ(replaced.newNode, &second.chain);
}

TEST_F(HashtableTest, ChainHoldsTheLatestInsertFirst) {
    Entry p1{{nullptr}, "pear"};
    Entry p2{{nullptr}, "plum"};
    Entry p3{{nullptr}, "peach"};
    hashtable_insert(&table, p1.key, &p1.chain);
    hashtable_insert(&table, p2.key, &p2.chain);
    hashtable_insert(&table, p3.key, &p3.chain);
    HASH_NODE_T* const head = buckets[firstLetter("p") % 4];
    ASSERT_EQ(head, &p3.chain);
    EXPECT_EQ(head->next, &p2.chain);
    EXPECT_EQ(head->next->next, &p1.chain);
    EXPECT_EQ(head->next->next->next, nullptr);

    hashtable_remove_key(&table, "plum");  // from the middle of the chain
    EXPECT_EQ(p3.chain.next, &p1.chain);
    EXPECT_EQ(hashtable_lookup_key(&table, "pear"), &p1.chain);
}

TEST_F(HashtableTest, RemoveAllEmptiesEveryBucket) {
    hashtable_remove_all(&table);
    EXPECT_EQ(hashtable_size(&table), 0U);

    Entry entries[] = {{{nullptr}, "a"}, {{nullptr}, "b"}, {{nullptr}, "c"}, {{nullptr}, "d"},
                       {{nullptr}, "e"}};
    for (Entry& e : entries) hashtable_insert(&table, e.key, &e.chain);
    EXPECT_EQ(hashtable_size(&table), 5U);
    hashtable_remove_all(&table);
    EXPECT_TRUE(hashtable_empty(&table));
    for (const Entry& e : entries) EXPECT_EQ(hashtable_lookup_key(&table, e.key), nullptr);
    for (HASH_NODE_T* bucket : buckets) EXPECT_EQ(bucket, nullptr);
}

TEST(HashtableInit, InitClearsADirtyBucketArray) {
    Entry stale{{nullptr}, "x"};
    HASH_NODE_T* buckets[3] = {&stale.chain, &stale.chain, &stale.chain};
    HASHTABLE_T table{};
    hashtable_init(&table, buckets, 3, firstLetter, sameKey, nullptr, nullptr);
    EXPECT_EQ(hashtable_lookup_key(&table, "x"), nullptr);
    EXPECT_EQ(hashtable_size(&table), 0U);
}

TEST(HashtableDeathTest, FastInitAbortsOnADirtyBucketArray) {
    Entry stale{{nullptr}, "x"};
    HASH_NODE_T* buckets[3] = {nullptr, &stale.chain, nullptr};
    HASHTABLE_T table{};
    EXPECT_DEATH(hashtable_fast_init(&table, buckets, 3, firstLetter, sameKey, nullptr, nullptr),
                 "hashtable.*!bucket_array\\[i\\]");
}

TEST(HashtableDeathTest, PreconditionsAbortWithTheirExpression) {
    HASH_NODE_T* buckets[1] = {};
    HASHTABLE_T table{};
    EXPECT_DEATH(hashtable_init(&table, buckets, 0, firstLetter, sameKey, nullptr, nullptr),
                 "num_buckets > 0");
    hashtable_init(&table, buckets, 1, firstLetter, sameKey, nullptr, nullptr);
    EXPECT_DEATH(hashtable_insert(&table, "k", nullptr), "hashtable && node");
    EXPECT_DEATH((void)hashtable_size(nullptr), "hashtable");
}

}  // namespace
