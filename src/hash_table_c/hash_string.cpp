// The preconditions hold in every build type.
#undef NDEBUG
#include "hash_string.h"

#include <cassert>

uint64_t hash_string(const char* string) {
    assert(string);
    uint64_t h = 5381;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(string); *p != 0; ++p) {
        h = h * 33 + *p;
    }
    return h;
}
