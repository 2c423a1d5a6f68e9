#include "logger.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t kLineMax = 4096;
const char* const kLevelNames[] = {"TRACE", "INFO", "FAIL", "ERROR"};

// Written once by log_init before other threads exist; read-only afterwards.
struct LoggerState {
    char module[32] = "gateway";
    std::atomic<int> fd{STDERR_FILENO};
    std::atomic<int> minLevel{0};
    std::atomic<int> colorLevel{4};
    std::atomic<bool> colored{false};
};
LoggerState g_state;

int openTarget(int target) {
    if (target == 0) return -1;
    const char* path = getenv("GATEWAY_LOG_FILE");
    if (target == 2 && path != nullptr && *path != '\0') {
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) return fd;
    }
    return STDERR_FILENO;
}

const char* levelName(int level) {
    return (level >= 0 && level <= 3) ? kLevelNames[level] : "?";
}

// Formats "YYYY-MM-DD hh:mm:ss.mmm" in local time. The date and time of day are formatted
// once per second and thread; each line adds only its milliseconds.
size_t formatTimestamp(char* out, size_t size) {
    thread_local time_t cachedSecond = -1;
    thread_local char cachedPrefix[32];
    thread_local size_t cachedLen = 0;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cachedSecond) {
        struct tm tm {};
        localtime_r(&now.tv_sec, &tm);
        cachedLen = strftime(cachedPrefix, sizeof cachedPrefix, "%Y-%m-%d %H:%M:%S", &tm);
        cachedSecond = now.tv_sec;
    }
    // The milliseconds by hand: a printf call here would cost more than the rest of the
    // line's framing.
    const auto ms = static_cast<unsigned>(now.tv_nsec / 1000000);
    const char tail[] = {'.', static_cast<char>('0' + ms / 100),
                         static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10)};
    const size_t n = std::min(cachedLen, size - 1);
    memcpy(out, cachedPrefix, n);
    const size_t m = std::min(sizeof tail, size - 1 - n);
    memcpy(out + n, tail, m);
    out[n + m] = '\0';
    return n + m;
}

long threadId() {
    thread_local const long tid = static_cast<long>(syscall(SYS_gettid));
    return tid;
}

// Trailing line breaks are the caller's paragraph marks; one line per call is kept.
size_t trimLineEnd(char* text, size_t len) {
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
    for (const char breakChar : {'\n', '\r'}) {
        for (char* at = static_cast<char*>(memchr(text, breakChar, len)); at != nullptr;
             at = static_cast<char*>(memchr(at + 1, breakChar, len - static_cast<size_t>(at + 1 - text)))) {
            *at = ' ';
        }
    }
    return len;
}

// Appends text (cut to the room left, keeping two bytes for the line end).
void append(char* buf, size_t size, size_t* len, const char* text) {
    const size_t n = std::min(strlen(text), size - 2 - std::min(*len, size - 2));
    memcpy(buf + *len, text, n);
    *len += n;
}

// " LEVEL module[tid] " for this thread, formatted once per level.
const char* levelPrefix(int level, bool hi) {
    thread_local char prefixes[2][5][64];
    const int index = (level >= 0 && level <= 3) ? level : 4;
    char* prefix = prefixes[hi ? 1 : 0][index];
    if (prefix[0] == '\0') {
        snprintf(prefix, sizeof prefixes[0][0], " %s%-5s%s %s[%ld] ", hi ? "\033[1;31m" : "",
                 levelName(level), hi ? "\033[0m" : "", g_state.module, threadId());
    }
    return prefix;
}

void writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int log_init(const char* module, int target, int min_level, int color_level) {
    if (module != nullptr) snprintf(g_state.module, sizeof g_state.module, "%s", module);
    const char* env = getenv("GATEWAY_LOG_LEVEL");
    g_state.minLevel = (env != nullptr && *env != '\0') ? atoi(env) : min_level;
    g_state.colorLevel = color_level;
    const int fd = openTarget(target);
    g_state.fd = fd;
    g_state.colored = fd >= 0 && isatty(fd);
    return 0;
}

extern "C" void log_print(int level, const char* /*color*/, const char* /*tag*/,
                          const char* file, const char* func, int line, const char* fmt, ...) {
    const int fd = g_state.fd.load(std::memory_order_relaxed);
    if (fd < 0 || level < g_state.minLevel.load(std::memory_order_relaxed) || fmt == nullptr) return;

    const int saved_errno = errno;
    char buf[kLineMax];
    size_t len = formatTimestamp(buf, sizeof buf);
    const bool hi = g_state.colored && level >= g_state.colorLevel;
    char lineText[16];
    char* digits = lineText + sizeof lineText - 1;
    *digits = '\0';
    *--digits = ' ';
    for (unsigned v = line > 0 ? static_cast<unsigned>(line) : 0U;; v /= 10) {
        *--digits = static_cast<char>('0' + v % 10);
        if (v < 10) break;
    }
    *--digits = ':';
    append(buf, sizeof buf, &len, levelPrefix(level, hi));
    append(buf, sizeof buf, &len, file ? file : "?");
    append(buf, sizeof buf, &len, digits);
    append(buf, sizeof buf, &len, func ? func : "?");
    append(buf, sizeof buf, &len, ": ");

    va_list ap;
    va_start(ap, fmt);
    errno = saved_errno;  // keeps %m working for callers
    const int n = vsnprintf(buf + len, sizeof buf - len - 1, fmt, ap);
    va_end(ap);
    if (n > 0) len += std::min(static_cast<size_t>(n), sizeof buf - len - 2);
    len = trimLineEnd(buf, len);
    buf[len++] = '\n';
    writeAll(fd, buf, len);
    errno = saved_errno;
}
