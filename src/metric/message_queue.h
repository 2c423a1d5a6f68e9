// FIFO of message nodes between any number of producers and one consumer, with a timed
// pop and an optional bound on the bytes the queued payloads hold.
#ifndef SERVICE_MONITOR_MESSAGE_QUEUE_H
#define SERVICE_MONITOR_MESSAGE_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

struct MSG_NODE_T;

struct MSG_LINK_T {
    MSG_NODE_T* next = nullptr;
    MSG_NODE_T* prev = nullptr;
};

// A queued payload; the node does not own it. cost is what the payload holds in memory,
// counted against the queue's bound while the node is queued.
struct MSG_NODE_T {
    void* payload = nullptr;
    MSG_LINK_T link;
    size_t cost = 0;
};

struct MSG_QUEUE_T {
    MSG_LINK_T head;  // head.next is the oldest node, head.prev the newest
    std::mutex mutex;
    std::condition_variable cond;  // signalled by pushes, see wakeBytes
    uint32_t flag = 0;             // number of queued nodes
    size_t bytes = 0;              // sum of the queued nodes' cost
    size_t limitBytes = SIZE_MAX;  // bound for tryPushMessageToQueue
    size_t highWaterBytes = 0;     // largest bytes since takeQueueHighWater
    // 0: every push wakes the consumer. Else only the push that brings bytes to this
    // value does, for a consumer that also polls on its own.
    size_t wakeBytes = 0;
};

// Empties the queue record (the bound stays). 0, or -1 for a null queue.
int initMessageQueue(MSG_QUEUE_T* queue);
// A node holding payload, or null when out of memory.
[[nodiscard]] MSG_NODE_T* createMessageNode(void* payload);
// Frees the node only, not its payload.
void freeMessageNode(MSG_NODE_T* node);
// Appends the node whatever the bound and wakes the consumer (see wakeBytes). 0.
int pushMessageToQueue(MSG_QUEUE_T* queue, MSG_NODE_T* node);
// Appends the node and wakes the consumer (see wakeBytes) when its cost fits under the
// bound: 0; else -1 and the queue is unchanged.
[[nodiscard]] int tryPushMessageToQueue(MSG_QUEUE_T* queue, MSG_NODE_T* node);
// Waits up to timeoutMs for a node. 0 with the oldest node in *node; -2 on time-out;
// -1 when woken with nothing queued. *node is null unless the result is 0.
[[nodiscard]] int popMessageFromQueue(MSG_QUEUE_T* queue, uint32_t timeoutMs, MSG_NODE_T** node);
// As popMessageFromQueue, but takes every queued node at once: *first is the oldest, the
// rest follow through link.next.
[[nodiscard]] int popAllMessagesFromQueue(MSG_QUEUE_T* queue, uint32_t timeoutMs,
                                          MSG_NODE_T** first);
// The largest bytes queued since the last call; starts the next watch at the current bytes.
[[nodiscard]] size_t takeQueueHighWater(MSG_QUEUE_T* queue);

#endif
