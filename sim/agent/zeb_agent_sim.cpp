// Stand-in of the monitoring agent "ZebGoAgent.linux".
//
// Started with no arguments, it reads the serial-number and access-key property files,
// records what it found (and which of the service manager's variables it inherited) as
// one JSON line (standard error and the record file) and runs
// until SIGTERM, SIGINT or SIGHUP, recording the signal before it ends by that signal.
//
// Environment:
//   AGENT_SIM_RECORD  record file (default /tmp/agent-sim/record.jsonl)
//   AGENT_SIM_MODE    control file (default /tmp/agent-sim/mode), read once at start:
//                     "normal" (default), "exit" (exit status 3 at once),
//                     "crash" (abort at once), "ignore-term" (SIGTERM is ignored)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char* kSerialFile = "/etc/vestrel/serial_number.properties";
constexpr const char* kKeyFile = "/harbex/gateway/build/bin/vestrel/config/accesskey.properties";

volatile sig_atomic_t g_signal = 0;

void onSignal(int sig) { g_signal = sig; }

std::string envOr(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string readFile(const std::string& path, bool* found = nullptr) {
    std::ifstream in(path);
    if (found != nullptr) *found = static_cast<bool>(in);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value after "=" on the first line that holds key; "" when there is none.
std::string property(const std::string& text, const char* key) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(key) == std::string::npos) continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return "";
        std::istringstream value(line.substr(eq + 1));
        std::string token;
        value >> token;
        return token;
    }
    return "";
}

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string fileMode(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0) return "";
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return mode;
}

// The service manager's variables the agent inherited: the daemon must keep them to itself.
std::string managerVariables() {
    std::string names;
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
        if (getenv(name) != nullptr) names += (names.empty() ? "" : " ") + std::string(name);
    }
    return names;
}

std::string argv0() {
    const std::string cmdline = readFile("/proc/self/cmdline");
    return cmdline.substr(0, cmdline.find('\0'));
}

void record(const std::string& fields) {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    char head[96];
    snprintf(head, sizeof head, "{\"time\": %lld.%03ld, \"pid\": %d, ",
             static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000000, static_cast<int>(getpid()));
    const std::string line = head + fields + "}\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    const std::string path = envOr("AGENT_SIM_RECORD", "/tmp/agent-sim/record.jsonl");
    const std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty()) mkdir(dir.c_str(), 0755);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    (void)!write(fd, line.data(), line.size());
    close(fd);
}

std::string readMode() {
    std::istringstream text(readFile(envOr("AGENT_SIM_MODE", "/tmp/agent-sim/mode")));
    std::string mode;
    text >> mode;
    return mode.empty() ? "normal" : mode;
}

void recordStart(const std::string& mode) {
    bool serialFound = false;
    bool keysFound = false;
    const std::string serial = readFile(kSerialFile, &serialFound);
    const std::string keys = readFile(kKeyFile, &keysFound);
    record("\"event\": \"start\", \"mode\": " + quote(mode) + ", \"argv0\": " + quote(argv0()) +
           ", \"ppid\": " + std::to_string(getppid()) +
           ", \"serialFile\": " + (serialFound ? "true" : "false") +
           ", \"serialNumber\": " + quote(property(serial, "zeb.agent.serialNumber")) +
           ", \"keyFile\": " + (keysFound ? "true" : "false") +
           ", \"keyFileMode\": " + quote(fileMode(kKeyFile)) +
           ", \"accessKey\": " + quote(property(keys, "zeb.agent.accesskey")) +
           ", \"secretKey\": " + quote(property(keys, "zeb.agent.secretkey")) +
           ", \"managerVariables\": " + quote(managerVariables()));
}

}  // namespace

int main() {
    const std::string mode = readMode();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    if (mode == "ignore-term") {
        signal(SIGTERM, SIG_IGN);
    } else {
        sigaction(SIGTERM, &action, nullptr);
    }
    recordStart(mode);
    if (mode == "exit") {
        record("\"event\": \"exit\", \"status\": 3");
        return 3;
    }
    if (mode == "crash") {
        record("\"event\": \"crash\"");
        abort();
    }
    // Signals stay blocked except inside sigsuspend, so none is lost between the checks.
    sigset_t block;
    sigset_t waitMask;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &waitMask);
    while (g_signal == 0) sigsuspend(&waitMask);
    record("\"event\": \"signal\", \"signal\": " + std::to_string(g_signal));
    // Ends by the signal itself, as an agent without a handler would.
    signal(g_signal, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &block, nullptr);
    raise(g_signal);
    return 0;
}
