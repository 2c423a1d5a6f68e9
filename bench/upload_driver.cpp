// Uploads one period's worth of metric bodies through the cloud client, the way the metric
// manager does at a period end, and prints what it cost:
//   uploads=N accepted=A wall_ms=W cpu_ms=C cpu_per_upload_ms=P
// Run it from <base>/bin so that the client finds <base>/config/service-monitor/cacert.pem;
// credentials come from CLOUD_ACCESS_KEY_ID, CLOUD_ACCESS_KEY_SECRET, CLOUD_SECURITY_TOKEN.
//
// Usage: upload_driver COUNT [--sequential]
//   --sequential  one CloudSdkPostMetricData after another (the only mode when built with
//                 UPLOAD_BENCH_SEQUENTIAL_ONLY, for a client that has no batch upload)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logger.h"
#include "zeb-sdk.h"

namespace {

const char* envOrEmpty(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// One record per metric, as the manager builds them: 100 modules of 10 metrics for 1000.
std::vector<std::string> periodBodies(size_t count) {
    std::vector<std::string> bodies;
    for (size_t i = 0; i < count; ++i) {
        char body[512];
        snprintf(body, sizeof body,
                 "[{\"productCode\":\"NODE_HUB\",\"metricName\":\"metric_%zu\",\"groupId\":"
                 "\"1000001\",\"instanceId\":\"pxr:service-monitor::acc:pk/dev\",\"dimensions\":"
                 "{\"region\":\"cn-hangzhou\",\"serviceName\":\"module_%zu\",\"functionName\":"
                 "\"fn\"},\"value\":%zu.5,\"ts\":1700000000123}]",
                 i % 10, i / 10, i);
        bodies.emplace_back(body);
    }
    return bodies;
}

double cpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

size_t uploadAll(CloudSdkClient* client, const std::vector<std::string>& bodies,
                 bool sequential) {
    size_t accepted = 0;
#ifndef UPLOAD_BENCH_SEQUENTIAL_ONLY
    if (!sequential) {
        std::vector<const char*> texts;
        for (const std::string& body : bodies) texts.push_back(body.c_str());
        std::vector<int> results(bodies.size(), -1);
        return CloudSdkPostMetricDataMany(client, texts.data(), texts.size(), 10, results.data());
    }
#endif
    (void)sequential;
    for (const std::string& body : bodies) {
        if (CloudSdkPostMetricData(client, body.c_str(), 10) == 0) ++accepted;
    }
    return accepted;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s COUNT [--sequential]\n", argv[0]);
        return 2;
    }
    const size_t count = strtoul(argv[1], nullptr, 10);
    const bool sequential = argc > 2 && strcmp(argv[2], "--sequential") == 0;
    log_init("upload_driver", 2, 0, 4);
    CloudSdkClient* client =
        CloudSdkInitIF(envOrEmpty("CLOUD_ACCESS_KEY_ID"), envOrEmpty("CLOUD_ACCESS_KEY_SECRET"),
                       envOrEmpty("CLOUD_SECURITY_TOKEN"), 0);
    if (client == nullptr) return 1;
    const std::vector<std::string> bodies = periodBodies(count);
    const double cpuBefore = cpuMs();
    const auto start = std::chrono::steady_clock::now();
    const size_t accepted = uploadAll(client, bodies, sequential);
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
    const double cpu = cpuMs() - cpuBefore;
    printf("uploads=%zu accepted=%zu wall_ms=%.0f cpu_ms=%.0f cpu_per_upload_ms=%.3f\n", count,
           accepted, wall.count(), cpu, count > 0 ? cpu / static_cast<double>(count) : 0.0);
    CloudSdkDeinitIF(client);
    return accepted == count ? 0 : 1;
}
