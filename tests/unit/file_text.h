// Whole-file reads and writes for tests.
#ifndef SM_TEST_FILE_TEXT_H
#define SM_TEST_FILE_TEXT_H

#include <fstream>
#include <sstream>
#include <string>

inline std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeAll(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
}

#endif
