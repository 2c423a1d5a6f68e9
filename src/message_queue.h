// Unbounded FIFO of message nodes between any number of producers and one consumer,
// with a timed pop.
#ifndef SERVICE_MONITOR_MESSAGE_QUEUE_H
#define SERVICE_MONITOR_MESSAGE_QUEUE_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

struct MSG_NODE_T;

struct MSG_LINK_T {
    MSG_NODE_T* next = nullptr;
    MSG_NODE_T* prev = nullptr;
};

// A queued payload; the node does not own it.
struct MSG_NODE_T {
    void* payload = nullptr;
    MSG_LINK_T link;
};

struct MSG_QUEUE_T {
    MSG_LINK_T head;  // head.next is the oldest node, head.prev the newest
    std::mutex mutex;
    std::condition_variable cond;  // signalled once per push
    uint32_t flag = 0;             // number of queued nodes
};

// Empties the queue record. 0, or -1 for a null queue.
int initMessageQueue(MSG_QUEUE_T* queue);
// A node holding payload, or null when out of memory.
[[nodiscard]] MSG_NODE_T* createMessageNode(void* payload);
// Frees the node only, not its payload.
void freeMessageNode(MSG_NODE_T* node);
// Appends the node and wakes the consumer. 0.
int pushMessageToQueue(MSG_QUEUE_T* queue, MSG_NODE_T* node);
// Waits up to timeoutMs for a node. 0 with the oldest node in *node; -2 on time-out;
// -1 when woken with nothing queued. *node is null unless the result is 0.
[[nodiscard]] int popMessageFromQueue(MSG_QUEUE_T* queue, uint32_t timeoutMs, MSG_NODE_T** node);

#endif
