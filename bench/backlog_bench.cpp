// A compressed hour of cloud outage through the upload room, in process: 60 periods of
// 1000 metrics (100 modules of 10) fail, with the back-off's retries between period ends,
// then the link returns and the backlog drains. The clocks are injected (an hour takes
// seconds); the cloud is a function that fails while the link is down and accepts at once
// afterwards, so the drain figure is the daemon's own cost, and the number of waves of 8
// uploads gives the drain time on a link of a given round-trip time.
//
// Usage: bench_backlog [DIR]   (DIR: the backlog's folder, default a new one under /tmp)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "logger.h"
#include "service_monitor_metric_self.h"
#include "service_monitor_metric_upload.h"
#include "zeb-sdk.h"

namespace {

constexpr size_t kPeriods = 60;
constexpr size_t kModules = 100;
constexpr size_t kPerModule = 10;
constexpr uint64_t kPeriodMs = 60000;
constexpr uint64_t kStepMs = 5000;  // the upload thread looks for due retries this often

std::atomic<uint64_t> g_clock{1700000000000ULL};
uint64_t clockMs() { return g_clock.load(); }

bool g_linkDown = true;
size_t g_calls = 0;
size_t g_waves = 0;
size_t fakeCloud(CloudSdkClient*, const char* const*, size_t count, int, int* results) {
    ++g_calls;
    g_waves += (count + kMaxUploadsInFlight - 1) / kMaxUploadsInFlight;
    for (size_t i = 0; i < count; ++i) results[i] = g_linkDown ? -1 : 0;
    return g_linkDown ? 0 : count;
}

size_t g_writes = 0;
size_t g_bytes = 0;
size_t g_fsyncs = 0;
ssize_t countedWrite(int fd, const void* data, size_t size) {
    ++g_writes;
    g_bytes += size;
    return write(fd, data, size);
}
int countedFsync(int fd) {
    ++g_fsyncs;
    return fsync(fd);
}

double cpuMs() {
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

PERIOD_METRICS_T period() {
    PERIOD_METRICS_T metrics(kModules * kPerModule);
    for (size_t i = 0; i < metrics.size(); ++i) {
        snprintf(metrics[i].moduleName, sizeof metrics[i].moduleName, "module_%zu/fn", i / kPerModule);
        snprintf(metrics[i].metricName, sizeof metrics[i].metricName, "metric_%zu", i % kPerModule);
        metrics[i].collectRule = COLLECT_RULE_AVG;
        metrics[i].value = static_cast<double>(i) + 0.5;
        metrics[i].ts = g_clock.load();
    }
    return metrics;
}

}  // namespace

int main(int argc, char** argv) {
    char made[] = "/tmp/bench_backlog_XXXXXX";
    if (argc <= 1 && mkdtemp(made) == nullptr) {
        perror("bench_backlog: mkdtemp");
        return 1;
    }
    const std::string dir = argc > 1 ? argv[1] : std::string(made) + "/data";
    setenv("GATEWAY_LOG_LEVEL", "3", 0);  // one line per failed upload otherwise
    log_init("bench_backlog", 1, 3, 4);
    METRIC_REGISTRATION_T registration;
    registration.sdkHandle = CloudSdkInitIF("id", "secret", "", 0);
    registration.dependReady = 1;
    METRIC_UPLOAD_T upload{&registration};
    upload.wallClockMs = clockMs;
    upload.monoClockMs = clockMs;
    upload.uploadMany = fakeCloud;
    upload.backlogDir = "";
    metric_upload_use_defaults(&upload);
    const BACKLOG_FILE_OPS_T counted = {countedWrite, countedFsync};
    metric_backlog_open(&upload.retry.backlog, dir, &counted);

    const uint64_t rssBefore = metric_self_rss_kb();
    uint64_t rssPeak = rssBefore;
    const double cpuBefore = cpuMs();
    for (size_t p = 0; p < kPeriods; ++p) {
        (void)upload_period_metrics(&upload, period());
        for (uint64_t t = kStepMs; t < kPeriodMs; t += kStepMs) {
            g_clock += kStepMs;
            if (upload.monoClockMs() >= upload.retry.nextRetryMonoMs) (void)upload_backlog_round(&upload);
        }
        g_clock += kStepMs;
        rssPeak = std::max(rssPeak, metric_self_rss_kb());
    }
    const double outageCpu = cpuMs() - cpuBefore;
    const size_t kept = metric_backlog_size(&upload.retry.backlog);
    const size_t outageWrites = g_writes, outageBytes = g_bytes, outageFsyncs = g_fsyncs;
    const size_t outageCalls = g_calls;

    g_linkDown = false;
    g_waves = 0;
    const double drainCpuBefore = cpuMs();
    const auto start = std::chrono::steady_clock::now();
    size_t rounds = 0;
    while (metric_backlog_size(&upload.retry.backlog) != 0 && upload_backlog_round(&upload)) ++rounds;
    const double drainMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const BACKLOG_STATS_T stats = metric_backlog_stats(&upload.retry.backlog);
    printf("outage: %zu periods of %zu metrics, %zu kept, %zu dropped; %zu retry calls\n",
           kPeriods, kModules * kPerModule, kept, static_cast<size_t>(stats.droppedFull + stats.droppedAge),
           outageCalls - kPeriods);
    printf("per failed period: %.1f writes, %.0f bytes, %.1f fsync calls\n",
           static_cast<double>(outageWrites) / kPeriods, static_cast<double>(outageBytes) / kPeriods,
           static_cast<double>(outageFsyncs) / kPeriods);
    printf("CPU per kept metric: %.2f us (outage, retries included)\n", outageCpu * 1e3 / kept);
    printf("RSS: %llu kB before, %llu kB peak in the outage (+%llu kB)\n",
           static_cast<unsigned long long>(rssBefore), static_cast<unsigned long long>(rssPeak),
           static_cast<unsigned long long>(rssPeak - rssBefore));
    printf("drain: %zu metrics in %zu rounds, %zu waves of 8, %.0f ms wall, %.0f ms CPU "
           "(%.2f us per metric); at 50 ms a wave: %.0f s\n",
           static_cast<size_t>(stats.uploaded), rounds, g_waves, drainMs, cpuMs() - drainCpuBefore,
           (cpuMs() - drainCpuBefore) * 1e3 / static_cast<double>(stats.uploaded), g_waves * 0.05);
    printf("drain writes: %zu (%zu bytes), fsync calls: %zu, segments left: %zu\n",
           g_writes - outageWrites, g_bytes - outageBytes, g_fsyncs - outageFsyncs,
           upload.retry.backlog.files.segments.size());
    metric_upload_deinit(&upload);
    metric_registration_deinit(&registration);
    std::error_code ignored;  // a scratch folder left behind in /tmp is no failure of the bench
    if (argc <= 1) std::filesystem::remove_all(made, ignored);
    return 0;
}
