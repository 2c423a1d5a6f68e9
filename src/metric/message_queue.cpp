#include "message_queue.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>

#include "common.h"

namespace {

// Caller holds the queue mutex. Whether the consumer is to be woken.
bool _append(MSG_QUEUE_T* queue, MSG_NODE_T* node) {
    const size_t before = queue->bytes;
    node->link.next = nullptr;
    node->link.prev = queue->head.prev;
    if (queue->head.prev != nullptr) {
        queue->head.prev->link.next = node;
    } else {
        queue->head.next = node;
    }
    queue->head.prev = node;
    ++queue->flag;
    queue->bytes += node->cost;
    queue->highWaterBytes = std::max(queue->highWaterBytes, queue->bytes);
    return queue->wakeBytes == 0 || (before < queue->wakeBytes && queue->bytes >= queue->wakeBytes);
}

// Waits (caller holds lock) until something is queued. 0, -2 on time-out, -1 when woken
// with nothing queued. The wait runs on the monotonic clock over the full 32-bit range of
// timeoutMs, so neither a wall-clock step nor a long timeout distorts it.
int _waitForNodes(MSG_QUEUE_T* queue, std::unique_lock<std::mutex>& lock, uint32_t timeoutMs) {
    if (queue->flag == 0 &&
        !queue->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [queue] { return queue->flag != 0; })) {
        return -2;
    }
    if (queue->head.next == nullptr || queue->flag == 0) {
        const uint32_t flag = queue->flag;
        lock.unlock();
        SM_LOG(2, "popmsg: msgNode = %s msgQueue.flag = %d\n", "(null)", static_cast<int>(flag));
        return -1;
    }
    return 0;
}

}  // namespace

int initMessageQueue(MSG_QUEUE_T* queue) {
    if (queue == nullptr) {
        SM_LOG(3, "pointer is NULL!\n");
        return -1;
    }
    const std::lock_guard<std::mutex> lock(queue->mutex);
    queue->head = MSG_LINK_T{};
    queue->flag = 0;
    queue->bytes = 0;
    queue->highWaterBytes = 0;
    return 0;
}

MSG_NODE_T* createMessageNode(void* payload) {
    try {
        auto node = std::make_unique<MSG_NODE_T>();
        node->payload = payload;
        return node.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void freeMessageNode(MSG_NODE_T* node) {
    const std::unique_ptr<MSG_NODE_T> owner(node);
}

int pushMessageToQueue(MSG_QUEUE_T* queue, MSG_NODE_T* node) {
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(queue->mutex);
        wake = _append(queue, node);
    }
    if (wake) queue->cond.notify_one();
    return 0;
}

int tryPushMessageToQueue(MSG_QUEUE_T* queue, MSG_NODE_T* node) {
    bool wake = false;
    {
        const std::lock_guard<std::mutex> lock(queue->mutex);
        if (node->cost > queue->limitBytes - std::min(queue->bytes, queue->limitBytes)) return -1;
        wake = _append(queue, node);
    }
    if (wake) queue->cond.notify_one();
    return 0;
}

int popMessageFromQueue(MSG_QUEUE_T* queue, uint32_t timeoutMs, MSG_NODE_T** node) {
    *node = nullptr;
    std::unique_lock<std::mutex> lock(queue->mutex);
    const int waited = _waitForNodes(queue, lock, timeoutMs);
    if (waited != 0) return waited;
    MSG_NODE_T* const first = queue->head.next;
    --queue->flag;
    queue->bytes -= first->cost;
    queue->head.next = first->link.next;
    if (first->link.next != nullptr) {
        first->link.next->link.prev = nullptr;
    } else {
        queue->head.prev = nullptr;
    }
    first->link = MSG_LINK_T{};
    *node = first;
    return 0;
}

int popAllMessagesFromQueue(MSG_QUEUE_T* queue, uint32_t timeoutMs, MSG_NODE_T** first) {
    *first = nullptr;
    std::unique_lock<std::mutex> lock(queue->mutex);
    const int waited = _waitForNodes(queue, lock, timeoutMs);
    if (waited != 0) return waited;
    *first = queue->head.next;
    queue->head = MSG_LINK_T{};
    queue->flag = 0;
    queue->bytes = 0;
    return 0;
}

size_t takeQueueHighWater(MSG_QUEUE_T* queue) {
    const std::lock_guard<std::mutex> lock(queue->mutex);
    const size_t highWater = queue->highWaterBytes;
    queue->highWaterBytes = queue->bytes;
    return highWater;
}
