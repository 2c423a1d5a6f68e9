// Whole-file reads and writes for tests, and a folder of their own to do them in.
#ifndef SM_TEST_FILE_TEXT_H
#define SM_TEST_FILE_TEXT_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
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

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/sm-test-XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

#endif
