// Persistent key/value store of the configuration-manager service.
//
// File format (UTF-8 text), also the format of a seed file prepared before start:
//   # comment lines and blank lines are ignored
//   key<TAB>value
// one entry per line; in keys and values a backslash, tab, carriage return and line feed
// are written \\ \t \r \n, and a key that begins with '#' is written with "\#". A later
// line for the same key wins. Lines that cannot be read (no tab, empty key, unknown escape,
// invalid UTF-8, NUL byte) are reported and skipped; the others are kept.
//
// The file is replaced atomically: a temporary file beside it is written and fsync'ed,
// renamed over the store, and the folder is fsync'ed, so a crash leaves either the old or
// the new store, never a torn or empty one.
#ifndef GATEWAY_CONFIG_STORE_H
#define GATEWAY_CONFIG_STORE_H

#include <map>
#include <string>
#include <vector>

namespace cfgstore {

using Entries = std::map<std::string, std::string>;

struct LoadResult {
    Entries entries;
    std::vector<std::string> problems;  // one text per skipped line
    bool missing = false;               // no store file yet: an empty configuration
};

// UTF-8 text without NUL bytes (what a bus string may hold).
[[nodiscard]] bool isValidText(const std::string& text);

[[nodiscard]] std::string escapeField(const std::string& text, bool isKey);
// False when text holds an unknown or unfinished escape.
[[nodiscard]] bool unescapeField(const std::string& text, std::string* out);

// One "key<TAB>value\n" line per entry, in key order.
[[nodiscard]] std::string formatEntries(const Entries& entries);
[[nodiscard]] LoadResult parseStore(const std::string& text);

// False (with the reason in *error) only when an existing store cannot be read.
[[nodiscard]] bool loadStoreFile(const std::string& path, LoadResult* out, std::string* error);
// Atomic replacement as described above; false with the reason in *error.
[[nodiscard]] bool saveStoreFile(const std::string& path, const Entries& entries,
                                 std::string* error);

}  // namespace cfgstore

#endif
