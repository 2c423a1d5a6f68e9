// Sends the gateway logger to a private file so that tests can read the lines they cause.
#ifndef SM_TEST_LOG_CAPTURE_H
#define SM_TEST_LOG_CAPTURE_H

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "file_text.h"
#include "logger.h"

class LogCapture {
public:
    // The process-wide capture, started on first use.
    static LogCapture& instance() {
        static LogCapture capture;
        return capture;
    }
    // The capture, with what was logged so far dropped.
    static LogCapture& begin() {
        instance().take();
        return instance();
    }
    ~LogCapture() { unlink(path_.c_str()); }

    // Everything logged since the previous call.
    std::string take() {
        const std::string text = readAll(path_).substr(offset_);
        offset_ += text.size();
        return text;
    }

private:
    LogCapture() {
        char name[] = "/tmp/sm_test_log_XXXXXX";
        close(mkstemp(name));
        path_ = name;
        setenv("GATEWAY_LOG_FILE", name, 1);
        setenv("GATEWAY_LOG_LEVEL", "0", 1);
        log_init("unit-test", 2, 0, 4);
    }

    std::string path_;
    size_t offset_ = 0;
};

#endif
