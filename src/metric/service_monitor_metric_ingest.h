// Ingestion's own state: the queue between the bus thread (which checks posted requests and
// queues their samples) and the manager thread (which merges them), its bounds, the
// period's counts of samples and refused requests, and the enable epoch that tells a batch
// taken before a disable. The bus side and the manager thread reach it through these calls.
#ifndef SERVICE_MONITOR_METRIC_INGEST_H
#define SERVICE_MONITOR_METRIC_INGEST_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "message_queue.h"
#include "service_monitor_metric_data_cache.h"
#include "service_monitor_metric_reply.h"

// What the queue may hold: a full queue refuses requests with 100002 rather than grow.
constexpr size_t kMetricQueueLimitBytes = 16U << 20;
// The bus thread wakes the manager thread only once this much waits: below it the manager
// takes the samples on its own at least once a second, which spares a thread switch per
// request.
constexpr size_t kMetricQueueWakeBytes = 64U << 10;

// The samples of one request, queued as one node: one allocation for the batch, one for
// its entries.
struct METRIC_BATCH_T {
    MSG_NODE_T node;  // node.payload is the batch itself
    uint64_t enableEpoch = 0;  // the epoch when the request was checked
    std::vector<METRIC_MESSAGE_T> messages;
};

// Counts of one period's samples and requests for its summary line. Written by the bus
// thread and the manager thread, read and reset by the manager thread.
struct METRIC_PERIOD_COUNTS_T {
    std::atomic<uint64_t> accepted{0};  // samples queued
    std::atomic<uint64_t> droppedByDisable{0};  // samples queued or merged, then disabled
    std::array<std::atomic<uint64_t>, kMetricRefusalCodes.size()> refused{};  // requests
};

struct METRIC_INGEST_T {
    MSG_QUEUE_T metricDataQueue;
    METRIC_PERIOD_COUNTS_T counts;
    // Moves on at every disable (under the period's cache lock). A batch stamped with an
    // older epoch was taken before the disable and is dropped rather than merged.
    std::atomic<uint64_t> enableEpoch{0};
};

// Sets up the queue with its bounds. 0, or -1.
[[nodiscard]] int metric_ingest_init(METRIC_INGEST_T* ingest);
// The most entries one request may carry: what an empty queue could take.
[[nodiscard]] size_t metric_ingest_max_entries(const METRIC_INGEST_T* ingest);
// Queues a batch whole (one lock, one wake-up) and counts its samples; an empty batch is
// dropped. 0, or -1 when the queue cannot take it (the batch is then released).
[[nodiscard]] int metric_ingest_queue(METRIC_INGEST_T* ingest,
                                      std::unique_ptr<METRIC_BATCH_T> batch);
// Counts a request's reply code when it is one of the refusals the summary line names.
void metric_ingest_count_reply(METRIC_INGEST_T* ingest, int code);
// Hands over the batch a popped queue node belongs to (null for a null node).
[[nodiscard]] std::unique_ptr<METRIC_BATCH_T> takeMetricBatch(MSG_NODE_T* node);
// Drops every queued batch; the samples they held.
uint64_t metric_ingest_discard(METRIC_INGEST_T* ingest);

#endif
