// djb2 string hash for the hash table.
#ifndef SERVICE_MONITOR_HASH_STRING_H
#define SERVICE_MONITOR_HASH_STRING_H

#include <cstdint>

// h = h * 33 + byte from 5381 over the bytes of a NUL-terminated string (null aborts).
[[nodiscard]] uint64_t hash_string(const char* string);

#endif
