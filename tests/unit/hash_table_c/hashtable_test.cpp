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
};

void recordReplace(HASH_NODE_T* oldNode, HASH_NODE_T* newNode, void* userData) {
    *static_cast<Replaced*>(userData) = {oldNode, newNode};
}

class HashtableTest : public ::testing::Test {
protected:
    void SetUp() override {
        Entry stale{{nullptr}, "x"};
        for (HASH_NODE_T*& b : buckets) b = &stale.chain;  // init must clear them
        hashtable_init(&table, buckets, 4, firstLetter, sameKey, recordReplace, &replaced);
    }
    void insert(Entry& e) { hashtable_insert(&table, e.key, &e.chain); }

    HASH_NODE_T* buckets[4] = {};
    HASHTABLE_T table{};
    Replaced replaced;
};

TEST_F(HashtableTest, InsertLookupAndRemoveWithinOneChain) {
    Entry pear{{nullptr}, "pear"}, plum{{nullptr}, "plum"}, peach{{nullptr}, "peach"};
    Entry apple{{nullptr}, "apple"};
    EXPECT_TRUE(hashtable_empty(&table));
    for (Entry* e : {&pear, &plum, &peach, &apple}) insert(*e);
    EXPECT_EQ(hashtable_size(&table), 4U);
    // The latest insert heads its chain.
    HASH_NODE_T* const head = buckets[firstLetter("p") % 4];
    ASSERT_EQ(head, &peach.chain);
    EXPECT_EQ(head->next, &plum.chain);
    EXPECT_EQ(head->next->next, &pear.chain);
    EXPECT_EQ(hashtable_lookup_key(&table, "apple"), &apple.chain);
    EXPECT_FALSE(hashtable_contains_key(&table, "prune"));

    hashtable_remove_key(&table, "prune");  // absent: nothing changes
    hashtable_remove_key(&table, "plum");   // from the middle of the chain
    EXPECT_EQ(hashtable_size(&table), 3U);
    EXPECT_EQ(peach.chain.next, &pear.chain);
    EXPECT_EQ(plum.chain.next, HASHTABLE_POISON);
    EXPECT_EQ(hashtable_lookup_key(&table, "pear"), &pear.chain);
    EXPECT_EQ(hashtable_lookup_key(&table, "plum"), nullptr);
}

TEST_F(HashtableTest, EqualKeyReplacesInPlaceAndPoisonsTheOldEntry) {
    Entry older{{nullptr}, "kale"}, first{{nullptr}, "kiwi"}, second{{nullptr}, "kiwi"};
    insert(older);
    insert(first);  // chain: first, older
    insert(second);
    EXPECT_EQ(hashtable_size(&table), 2U);
    EXPECT_EQ(hashtable_lookup_key(&table, "kiwi"), &second.chain);
    EXPECT_EQ(first.chain.next, HASHTABLE_POISON);
    EXPECT_EQ(second.chain.next, &older.chain);  // took the old entry's place
    EXPECT_EQ(replaced.oldNode, &first.chain);
    EXPECT_EQ(replaced.newNode, &second.chain);
}

TEST_F(HashtableTest, RemoveAllEmptiesEveryBucket) {
    Entry entries[] = {{{nullptr}, "a"}, {{nullptr}, "b"}, {{nullptr}, "c"}, {{nullptr}, "d"},
                       {{nullptr}, "e"}};
    for (Entry& e : entries) insert(e);
    EXPECT_EQ(hashtable_size(&table), 5U);
    hashtable_remove_all(&table);
    EXPECT_TRUE(hashtable_empty(&table));
    for (HASH_NODE_T* bucket : buckets) EXPECT_EQ(bucket, nullptr);
}

}  // namespace
