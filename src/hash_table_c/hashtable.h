// Intrusive chained hash table over a caller-owned, fixed bucket array. It never
// allocates and has no lock: callers serialise every operation on one table.
#ifndef SERVICE_MONITOR_HASHTABLE_H
#define SERVICE_MONITOR_HASHTABLE_H

#include <cstdint>

// Chain link; the first member of every entry.
struct HASH_NODE_T {
    HASH_NODE_T* next;
};

// Written into the link of an entry that was removed or replaced.
#define HASHTABLE_POISON (reinterpret_cast<HASH_NODE_T*>(static_cast<uintptr_t>(0x100)))

using hashtable_hash_func = uint64_t (*)(const void* key);
// Non-zero when key matches the entry.
using hashtable_equal_func = int (*)(const void* key, const HASH_NODE_T* node);
using hashtable_replace_func = void (*)(HASH_NODE_T* oldNode, HASH_NODE_T* newNode,
                                        void* userData);

struct HASHTABLE_T {
    HASH_NODE_T** bucket_array;
    hashtable_hash_func hash;
    hashtable_equal_func equal;
    hashtable_replace_func replace;
    void* replace_data;
    uint64_t num_buckets;
    uint64_t size;
};

// Empties every bucket, then sets the table up. A failed precondition aborts.
void hashtable_init(HASHTABLE_T* hashtable, HASH_NODE_T** bucket_array, uint64_t num_buckets,
                    hashtable_hash_func hash, hashtable_equal_func equal,
                    hashtable_replace_func replace, void* replace_data);
// Like hashtable_init for a bucket array that is already all null (checked).
void hashtable_fast_init(HASHTABLE_T* hashtable, HASH_NODE_T** bucket_array,
                         uint64_t num_buckets, hashtable_hash_func hash,
                         hashtable_equal_func equal, hashtable_replace_func replace,
                         void* replace_data);
[[nodiscard]] HASH_NODE_T** hashtable_bucket_array(const HASHTABLE_T* hashtable);
[[nodiscard]] uint64_t hashtable_num_buckets(const HASHTABLE_T* hashtable);
[[nodiscard]] uint64_t hashtable_size(const HASHTABLE_T* hashtable);
[[nodiscard]] int hashtable_empty(const HASHTABLE_T* hashtable);
[[nodiscard]] int hashtable_contains_key(const HASHTABLE_T* hashtable, const void* key);
// Puts node at the front of the key's chain, or in place of the first entry equal to key
// (that entry's link becomes HASHTABLE_POISON and the replace callback is told).
void hashtable_insert(HASHTABLE_T* hashtable, const void* key, HASH_NODE_T* node);
// First entry of the key's chain equal to key, or null.
[[nodiscard]] HASH_NODE_T* hashtable_lookup_key(const HASHTABLE_T* hashtable, const void* key);
// Unlinks the first entry equal to key (its link becomes HASHTABLE_POISON), if any.
void hashtable_remove_key(HASHTABLE_T* hashtable, const void* key);
// Empties every bucket without visiting the entries.
void hashtable_remove_all(HASHTABLE_T* hashtable);

#endif
