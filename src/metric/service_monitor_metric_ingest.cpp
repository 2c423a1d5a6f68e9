#include "service_monitor_metric_ingest.h"

#include "common.h"

namespace {

// What a queued batch holds in memory: the record and its entries, each with the
// allocator's own header.
constexpr size_t kAllocOverhead = 16;
constexpr size_t kBatchFixedCost = sizeof(METRIC_BATCH_T) + 2 * kAllocOverhead;

size_t _batchCost(const METRIC_BATCH_T& batch) {
    return kBatchFixedCost + batch.messages.capacity() * sizeof(METRIC_MESSAGE_T);
}

}  // namespace

int metric_ingest_init(METRIC_INGEST_T* ingest) {
    if (initMessageQueue(&ingest->metricDataQueue) != 0) {
        SM_LOG(3, "init metricDataQueue failed\n");
        return -1;
    }
    ingest->metricDataQueue.limitBytes = kMetricQueueLimitBytes;
    ingest->metricDataQueue.wakeBytes = kMetricQueueWakeBytes;
    return 0;
}

// A batch of more would cost more than the whole queue bound, so it could never be taken,
// however empty the queue.
size_t metric_ingest_max_entries(const METRIC_INGEST_T* ingest) {
    const size_t limit = ingest->metricDataQueue.limitBytes;
    if (limit <= kBatchFixedCost) return 0;
    return (limit - kBatchFixedCost) / sizeof(METRIC_MESSAGE_T);
}

int metric_ingest_queue(METRIC_INGEST_T* ingest, std::unique_ptr<METRIC_BATCH_T> batch) {
    const size_t samples = batch->messages.size();
    if (samples == 0) return 0;
    batch->node.cost = _batchCost(*batch);
    if (tryPushMessageToQueue(&ingest->metricDataQueue, &batch->node) != 0) return -1;
    batch.release();  // the queue holds it now
    ingest->counts.accepted.fetch_add(samples, std::memory_order_relaxed);
    return 0;
}

void metric_ingest_count_reply(METRIC_INGEST_T* ingest, int code) {
    for (size_t i = 0; i < kMetricRefusalCodes.size(); ++i) {
        if (kMetricRefusalCodes[i] == code) {
            ingest->counts.refused[i].fetch_add(1, std::memory_order_relaxed);
        }
    }
}

std::unique_ptr<METRIC_BATCH_T> takeMetricBatch(MSG_NODE_T* node) {
    if (node == nullptr) return nullptr;
    return std::unique_ptr<METRIC_BATCH_T>(static_cast<METRIC_BATCH_T*>(node->payload));
}

uint64_t metric_ingest_discard(METRIC_INGEST_T* ingest) {
    MSG_NODE_T* node = nullptr;
    uint64_t samples = 0;
    if (popAllMessagesFromQueue(&ingest->metricDataQueue, 0, &node) != 0) return 0;
    while (node != nullptr) {
        MSG_NODE_T* const next = node->link.next;
        samples += takeMetricBatch(node)->messages.size();
        node = next;
    }
    return samples;
}
