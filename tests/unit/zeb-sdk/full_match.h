// Whole-text match against a POSIX extended regular expression. (std::regex trips GCC's
// maybe-uninitialized warning in sanitizer builds.)
#ifndef TESTS_FULL_MATCH_H
#define TESTS_FULL_MATCH_H

#include <regex.h>

#include <string>

inline bool fullMatch(const std::string& text, const std::string& pattern) {
    regex_t re;
    if (regcomp(&re, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
    const bool matched = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&re);
    return matched;
}

#endif
