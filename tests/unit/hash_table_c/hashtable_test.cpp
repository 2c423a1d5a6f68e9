#include "hashtable.h"

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

// The metric cache looks keys up in shared buckets and empties the table every period.
TEST(Hashtable, SharedBucketsAndRemoveAll) {
    HASH_NODE_T* buckets[4] = {};
    HASHTABLE_T table{};
    hashtable_fast_init(&table, buckets, 4, firstLetter, sameKey, nullptr, nullptr);
    Entry pear{{nullptr}, "pear"}, plum{{nullptr}, "plum"}, apple{{nullptr}, "apple"};
    EXPECT_TRUE(hashtable_empty(&table));
    for (Entry* e : {&pear, &plum, &apple}) hashtable_insert(&table, e->key, &e->chain);
    EXPECT_EQ(hashtable_size(&table), 3U);
    EXPECT_EQ(buckets[firstLetter("p") % 4], &plum.chain);  // the latest insert heads its chain
    EXPECT_EQ(hashtable_lookup_key(&table, "pear"), &pear.chain);
    EXPECT_EQ(hashtable_lookup_key(&table, "apple"), &apple.chain);
    EXPECT_EQ(hashtable_lookup_key(&table, "prune"), nullptr);
    hashtable_remove_all(&table);
    EXPECT_TRUE(hashtable_empty(&table));
    for (HASH_NODE_T* bucket : buckets) EXPECT_EQ(bucket, nullptr);
}

}  // namespace
