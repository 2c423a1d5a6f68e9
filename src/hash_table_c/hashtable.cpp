// The preconditions hold in every build type.
#undef NDEBUG
#include "hashtable.h"

#include <cassert>

namespace {

HASH_NODE_T** bucketOf(const HASHTABLE_T* hashtable, const void* key) {
    return &hashtable->bucket_array[hashtable->hash(key) % hashtable->num_buckets];
}

// The link that points at the first entry equal to key, or null.
HASH_NODE_T** findLink(const HASHTABLE_T* hashtable, const void* key) {
    for (HASH_NODE_T** link = bucketOf(hashtable, key); *link != nullptr;
         link = &(*link)->next) {
        if (hashtable->equal(key, *link) != 0) return link;
    }
    return nullptr;
}

void setUp(HASHTABLE_T* hashtable, HASH_NODE_T** bucket_array, uint64_t num_buckets,
           hashtable_hash_func hash, hashtable_equal_func equal,
           hashtable_replace_func replace, void* replace_data) {
    hashtable->bucket_array = bucket_array;
    hashtable->hash = hash;
    hashtable->equal = equal;
    hashtable->replace = replace;
    hashtable->replace_data = replace_data;
    hashtable->num_buckets = num_buckets;
    hashtable->size = 0;
}

}  // namespace

void hashtable_init(HASHTABLE_T* hashtable, HASH_NODE_T** bucket_array, uint64_t num_buckets,
                    hashtable_hash_func hash, hashtable_equal_func equal,
                    hashtable_replace_func replace, void* replace_data) {
    assert(hashtable && bucket_array && num_buckets > 0 && hash && equal);
    for (uint64_t i = 0; i < num_buckets; ++i) bucket_array[i] = nullptr;
    setUp(hashtable, bucket_array, num_buckets, hash, equal, replace, replace_data);
}

void hashtable_fast_init(HASHTABLE_T* hashtable, HASH_NODE_T** bucket_array,
                         uint64_t num_buckets, hashtable_hash_func hash,
                         hashtable_equal_func equal, hashtable_replace_func replace,
                         void* replace_data) {
    assert(hashtable && bucket_array && num_buckets > 0 && hash && equal);
    for (uint64_t i = 0; i < num_buckets; ++i) assert(!bucket_array[i]);
    setUp(hashtable, bucket_array, num_buckets, hash, equal, replace, replace_data);
}

HASH_NODE_T** hashtable_bucket_array(const HASHTABLE_T* hashtable) {
    assert(hashtable);
    return hashtable->bucket_array;
}

uint64_t hashtable_num_buckets(const HASHTABLE_T* hashtable) {
    assert(hashtable);
    return hashtable->num_buckets;
}

uint64_t hashtable_size(const HASHTABLE_T* hashtable) {
    assert(hashtable);
    return hashtable->size;
}

int hashtable_empty(const HASHTABLE_T* hashtable) {
    assert(hashtable);
    return hashtable->size == 0 ? 1 : 0;
}

int hashtable_contains_key(const HASHTABLE_T* hashtable, const void* key) {
    assert(hashtable);
    return hashtable_lookup_key(hashtable, key) != nullptr ? 1 : 0;
}

void hashtable_insert(HASHTABLE_T* hashtable, const void* key, HASH_NODE_T* node) {
    assert(hashtable && node);
    HASH_NODE_T** const link = findLink(hashtable, key);
    if (link == nullptr) {
        HASH_NODE_T** const head = bucketOf(hashtable, key);
        node->next = *head;
        *head = node;
        ++hashtable->size;
        return;
    }
    HASH_NODE_T* const old = *link;
    node->next = old->next;
    *link = node;
    old->next = HASHTABLE_POISON;
    if (hashtable->replace != nullptr) hashtable->replace(old, node, hashtable->replace_data);
}

HASH_NODE_T* hashtable_lookup_key(const HASHTABLE_T* hashtable, const void* key) {
    assert(hashtable);
    HASH_NODE_T** const link = findLink(hashtable, key);
    return link != nullptr ? *link : nullptr;
}

void hashtable_remove_key(HASHTABLE_T* hashtable, const void* key) {
    assert(hashtable);
    HASH_NODE_T** const link = findLink(hashtable, key);
    if (link == nullptr) return;
    HASH_NODE_T* const old = *link;
    *link = old->next;
    old->next = HASHTABLE_POISON;
    --hashtable->size;
}

void hashtable_remove_all(HASHTABLE_T* hashtable) {
    assert(hashtable);
    if (hashtable->size == 0) return;
    for (uint64_t i = 0; i < hashtable->num_buckets; ++i) hashtable->bucket_array[i] = nullptr;
    hashtable->size = 0;
}
