// Sequential stand-in for the concurrent upload: one body after the other through
// CloudSdkPostMetricData. An abort makes later uploads fail at once; a transfer in flight
// runs to its time-out.
#include <atomic>
#include <cstddef>

#include "zeb-sdk/zeb-sdk.h"

namespace {
std::atomic<CloudSdkClient*> g_aborted{nullptr};
}  // namespace

size_t CloudSdkPostMetricDataMany(CloudSdkClient* client, const char* const* bodies, size_t count,
                                  int timeoutSeconds, int* results) {
    size_t accepted = 0;
    for (size_t i = 0; i < count; ++i) {
        const bool aborted = g_aborted.load() == client;
        results[i] = !aborted && CloudSdkPostMetricData(client, bodies[i], timeoutSeconds) == 0 ? 0 : -1;
        accepted += results[i] == 0 ? 1 : 0;
    }
    return accepted;
}

void CloudSdkAbort(CloudSdkClient* client) {
    g_aborted.store(client);
}
