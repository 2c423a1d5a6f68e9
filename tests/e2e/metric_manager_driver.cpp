// Runs the metric data manager in-process against the live gateway peers (bus,
// configuration manager, credential service, cloud service) so that end-to-end tests can
// use short periods and step the task scheduler.
//
// Usage: metric_manager_driver [--period MS] [--tick-ms MS]
//   --period   aggregation period (default 4000)
//   --tick-ms  scheduler tick of the ticking thread; 0 = no thread, ticks only on "tick"
//
// Reads one command per line on standard input and answers each with one JSON object on
// a line of standard output; the log goes to standard error.
//   refresh              refresh_credential, handing the result to the manager's SDK
//   credential           the stored credential (credential_get_msg)
//   enable | disable     metric_data_manager_enable / _disable
//   tick [AHEAD_MS]      one scheduler pass at now + AHEAD_MS, on this thread
//   post JSON            post_metric_data with the rest of the line
//   state                the manager's fields, pre-task rows, scheduler tasks, cache size
//   wait-period [N]      waits until N (default 1) further periods have started
//   deinit               stops the ticking thread, then metric_data_manager_deinit
//   quit                 tears everything down and exits 0
#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "cfg_client.h"
#include "common.h"
#include "dbus_message_credential.h"
#include "logger.h"
#include "raii.h"
#include "service_monitor_metric_manager.h"
#include "task_scheduler.h"

namespace {

constexpr const char* kBusAddress = "unix:path=/tmp/var/run/mbusd/mbusd_socket";

struct Options {
    uint64_t periodMs = 4000;
    uint64_t tickMs = 1000;
};

// Calls taskSchedulerProc every tickMs until stopped, as the daemon's scheduler thread does.
class Ticker {
public:
    void start(uint64_t tickMs) {
        if (tickMs == 0) return;
        thread_ = std::thread([this, tickMs] { run(tickMs); });
    }
    void stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopRequested_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void run(uint64_t tickMs) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopRequested_) {
            lock.unlock();
            taskSchedulerProc();
            lock.lock();
            cv_.wait_for(lock, std::chrono::milliseconds(tickMs),
                         [this] { return stopRequested_; });
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopRequested_ = false;
    std::thread thread_;
};

struct Driver {
    CFG_CONN_T* cfg = nullptr;
    METRIC_DATA_MANAGER_T* manager = nullptr;
    Ticker ticker;
    uint64_t periodMs = 0;
};

void emit(cJSON* reply) {
    const CJsonText text(cJSON_PrintUnformatted(reply));
    printf("%s\n", text ? text.get() : "{\"error\":\"print failed\"}");
    fflush(stdout);
}

void addU64(cJSON* obj, const char* key, uint64_t value) {
    cJSON_AddNumberToObject(obj, key, static_cast<double>(value));
}

int updateManagerCredential(const CREDENTIAL_MSG_T* credential, void* clientData) {
    auto* manager = static_cast<METRIC_DATA_MANAGER_T*>(clientData);
    if (manager == nullptr) return -1;
    return metric_data_manager_update_credential(manager, credential->accessKeyId,
                                                 credential->accessKeySecret,
                                                 credential->securityToken);
}

void cmdCredential(cJSON* out) {
    CREDENTIAL_MSG_T credential {};
    const int rc = credential_get_msg(&credential);
    cJSON_AddNumberToObject(out, "rc", rc);
    cJSON_AddStringToObject(out, "accessKeyId", credential.accessKeyId);
    cJSON_AddStringToObject(out, "accessKeySecret", credential.accessKeySecret);
    cJSON_AddStringToObject(out, "securityToken", credential.securityToken);
    addU64(out, "expireTimeMs", credential.expireTimeMs);
    addU64(out, "nowMs", get_time_ms());
}

void addPeriod(const Driver& d, cJSON* out) {
    const std::lock_guard<std::mutex> lock(d.manager->mutex);
    addU64(out, "periodStartMs", d.manager->periodStartMs);
    addU64(out, "periodEndMs", d.manager->periodEndMs);
}

int countMetric(const char*, const char*, uint32_t, void* userData, double) {
    ++*static_cast<int*>(userData);
    return 0;
}

// The pre-task rows are read first: a row marked done has written its fields before, so
// the fields read afterwards are complete. Finding a task waits for a tick in progress.
void cmdState(const Driver& d, cJSON* out) {
    METRIC_DATA_MANAGER_T* m = d.manager;
    cJSON* tasks = cJSON_AddObjectToObject(out, "tasks");
    for (const PRE_TASK_T& row : g_preTasks) {
        cJSON_AddBoolToObject(tasks, row.name, findScheduleTask(row.name) != nullptr);
    }
    cJSON_AddNumberToObject(out, "taskNum", getScheduleTaskNum());
    cJSON* done = cJSON_AddObjectToObject(out, "done");
    for (const PRE_TASK_T& row : g_preTasks) {
        cJSON_AddBoolToObject(done, row.name, row.done.load());
    }
    cJSON_AddNumberToObject(out, "enable", m->enable.load());
    cJSON_AddNumberToObject(out, "dependReady", m->dependReady.load());
    const std::lock_guard<std::mutex> names(m->namesLock);
    cJSON_AddStringToObject(out, "productKey", m->productKey);
    cJSON_AddStringToObject(out, "deviceName", m->deviceName);
    cJSON_AddStringToObject(out, "accountId", m->accountId);
    cJSON_AddStringToObject(out, "groupId", m->groupId);
    cJSON_AddStringToObject(out, "instanceName", m->instanceName);
    cJSON_AddStringToObject(out, "instanceId", m->instanceId);
    cJSON_AddBoolToObject(out, "sdk", m->sdkHandle.load() != nullptr);
    int cached = 0;
    {
        const std::lock_guard<std::mutex> lock(m->cacheLock);
        iter_metric_data(m->cache, countMetric, &cached);
    }
    cJSON_AddNumberToObject(out, "cached", cached);
    addPeriod(d, out);
}

uint64_t periodStart(const Driver& d) {
    const std::lock_guard<std::mutex> lock(d.manager->mutex);
    return d.manager->periodStartMs;
}

// Polls the period start; a new start is noticed by the manager thread within its 1 s
// queue wait after the end.
void cmdWaitPeriod(const Driver& d, const std::string& arg, cJSON* out) {
    const long wanted = arg.empty() ? 1 : std::strtol(arg.c_str(), nullptr, 10);
    const uint64_t deadline = get_time_ms() + static_cast<uint64_t>(wanted + 1) *
                                                  (d.periodMs + 12000);
    uint64_t last = periodStart(d);
    long seen = 0;
    while (seen < wanted && get_time_ms() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint64_t now = periodStart(d);
        if (now != last) ++seen, last = now;
    }
    cJSON_AddNumberToObject(out, "rc", seen == wanted ? 0 : -1);
    addPeriod(d, out);
}

void cmdPost(const Driver& d, const std::string& arg, cJSON* out) {
    char reply[kMetricReplyBufSize];
    memset(reply, 'U', sizeof reply);  // a reply left unterminated shows up as garbage
    const int rc = post_metric_data(d.manager, arg.c_str(), reply);
    reply[sizeof reply - 1] = '\0';
    cJSON_AddNumberToObject(out, "rc", rc);
    cJSON_AddStringToObject(out, "reply", reply);
}

void cmdDeinit(Driver& d, cJSON* out) {
    d.ticker.stop();
    addU64(out, "startMs", get_time_ms());
    metric_data_manager_deinit(d.manager);
    d.manager = nullptr;
    addU64(out, "endMs", get_time_ms());
}

// One command; false when the driver should end.
bool dispatch(Driver& d, const std::string& line) {
    const size_t blank = line.find(' ');
    const std::string cmd = line.substr(0, blank);
    const std::string arg = blank == std::string::npos ? "" : line.substr(blank + 1);
    const CJsonPtr out(cJSON_CreateObject());
    cJSON_AddStringToObject(out.get(), "cmd", cmd.c_str());
    if (cmd == "quit") {
        emit(out.get());
        return false;
    }
    if (d.manager == nullptr && cmd != "refresh" && cmd != "credential") {
        cJSON_AddStringToObject(out.get(), "error", "no manager");
    } else if (cmd == "refresh") {
        const int rc = refresh_credential(updateManagerCredential, d.manager);
        cJSON_AddNumberToObject(out.get(), "rc", rc);
    } else if (cmd == "credential") {
        cmdCredential(out.get());
    } else if (cmd == "enable") {
        cJSON_AddNumberToObject(out.get(), "rc", metric_data_manager_enable(d.manager));
    } else if (cmd == "disable") {
        cJSON_AddNumberToObject(out.get(), "rc", metric_data_manager_disable(d.manager));
    } else if (cmd == "tick") {
        taskSchedulerProcAt(get_time_ms() + std::strtoull(arg.c_str(), nullptr, 10));
    } else if (cmd == "post") {
        cmdPost(d, arg, out.get());
    } else if (cmd == "state") {
        cmdState(d, out.get());
    } else if (cmd == "wait-period") {
        cmdWaitPeriod(d, arg, out.get());
    } else if (cmd == "deinit") {
        cmdDeinit(d, out.get());
    } else {
        cJSON_AddStringToObject(out.get(), "error", "unknown command");
    }
    emit(out.get());
    return true;
}

bool parseOptions(int argc, char** argv, Options* opt) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (name == "--period") {
            opt->periodMs = value;
        } else if (name == "--tick-ms") {
            opt->tickMs = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && opt->periodMs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseOptions(argc, argv, &opt)) {
        fprintf(stderr, "usage: %s [--period MS] [--tick-ms MS]\n", argv[0]);
        return 2;
    }
    log_init("metric_manager_driver", 1, 0, 4);
    Driver d;
    d.periodMs = opt.periodMs;
    d.cfg = openCfgPrivateConn(kBusAddress);
    if (d.cfg == nullptr || credential_init(d.cfg) != 0 || initTaskScheduler() != 0) {
        fprintf(stderr, "metric_manager_driver: cannot reach the gateway bus\n");
        closeCfgPrivateConn(d.cfg);
        return 1;
    }
    d.manager = metric_data_manager_init(d.cfg, opt.periodMs);
    if (d.manager == nullptr) return 1;
    d.ticker.start(opt.tickMs);
    printf("{\"cmd\":\"ready\"}\n");
    fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && dispatch(d, line)) {
    }
    d.ticker.stop();
    metric_data_manager_deinit(d.manager);
    deinitTaskScheduler();
    credential_deinit();
    closeCfgPrivateConn(d.cfg);
    return 0;
}
