#include "message_queue.h"

#include <chrono>
#include <memory>
#include <new>

#include "common.h"

int initMessageQueue(MSG_QUEUE_T* queue) {
    if (queue == nullptr) {
        SM_LOG(3, "pointer is NULL!\n");
        return -1;
    }
    const std::lock_guard<std::mutex> lock(queue->mutex);
    queue->head = MSG_LINK_T{};
    queue->flag = 0;
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
    {
        const std::lock_guard<std::mutex> lock(queue->mutex);
        node->link.next = nullptr;
        node->link.prev = queue->head.prev;
        if (queue->head.prev != nullptr) {
            queue->head.prev->link.next = node;
        } else {
            queue->head.next = node;
        }
        queue->head.prev = node;
        ++queue->flag;
    }
    queue->cond.notify_one();
    return 0;
}

// The wait runs on the monotonic clock over the full 32-bit range of timeoutMs, so
// neither a wall-clock step nor a long timeout distorts it.
int popMessageFromQueue(MSG_QUEUE_T* queue, uint32_t timeoutMs, MSG_NODE_T** node) {
    *node = nullptr;
    std::unique_lock<std::mutex> lock(queue->mutex);
    if (queue->flag == 0 &&
        !queue->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [queue] { return queue->flag != 0; })) {
        return -2;
    }
    MSG_NODE_T* const first = queue->head.next;
    if (first == nullptr || queue->flag == 0) {
        const uint32_t flag = queue->flag;
        lock.unlock();
        SM_LOG(2, "popmsg: msgNode = %s msgQueue.flag = %d\n", "(null)", static_cast<int>(flag));
        return -1;
    }
    --queue->flag;
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
