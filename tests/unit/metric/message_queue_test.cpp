#include "message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

class MessageQueueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(initMessageQueue(&queue), 0); }
    void TearDown() override {
        while (pop(0) != nullptr) {
        }
    }
    void push(int* payload) { ASSERT_EQ(pushMessageToQueue(&queue, createMessageNode(payload)), 0); }
    // The next payload, or nullptr when none came within timeoutMs.
    int* pop(uint32_t timeoutMs) {
        MSG_NODE_T* node = reinterpret_cast<MSG_NODE_T*>(&queue);  // must be reset on time-out
        if (popMessageFromQueue(&queue, timeoutMs, &node) != 0) {
            EXPECT_EQ(node, nullptr);
            return nullptr;
        }
        int* const payload = static_cast<int*>(node->payload);
        freeMessageNode(node);
        return payload;
    }

    MSG_QUEUE_T queue;
};

TEST_F(MessageQueueTest, PopsInOrderAndTimesOutWhenEmpty) {
    int values[3] = {1, 2, 3};
    for (int& v : values) push(&v);
    EXPECT_EQ(pop(0), &values[0]);
    push(&values[0]);
    EXPECT_EQ(pop(0), &values[1]);
    EXPECT_EQ(pop(0), &values[2]);
    EXPECT_EQ(pop(0), &values[0]);
    EXPECT_EQ(queue.flag, 0U);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pop(200), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST_F(MessageQueueTest, ProducersWakeAWaitingPopAndLoseNothing) {
    constexpr int kPerThread = 500;
    std::vector<int> values(4 * kPerThread);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([this, &values, t] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            for (int i = 0; i < kPerThread; ++i) push(&values[t * kPerThread + i]);
        });
    }
    size_t popped = 0;
    while (popped < values.size() && pop(2000) != nullptr) ++popped;
    for (std::thread& p : producers) p.join();
    EXPECT_EQ(popped, values.size());
    EXPECT_EQ(queue.flag, 0U);
}

TEST_F(MessageQueueTest, BoundRefusesWhatDoesNotFitAndPopAllTakesEverything) {
    queue.limitBytes = 100;
    int values[3] = {1, 2, 3};
    MSG_NODE_T nodes[3] = {{&values[0], {}, 60}, {&values[1], {}, 40}, {&values[2], {}, 1}};
    EXPECT_EQ(tryPushMessageToQueue(&queue, &nodes[0]), 0);
    EXPECT_EQ(tryPushMessageToQueue(&queue, &nodes[1]), 0);
    EXPECT_EQ(tryPushMessageToQueue(&queue, &nodes[2]), -1);
    EXPECT_EQ(queue.flag, 2U);

    MSG_NODE_T* first = nullptr;
    ASSERT_EQ(popAllMessagesFromQueue(&queue, 0, &first), 0);
    EXPECT_EQ(first, &nodes[0]);
    EXPECT_EQ(first->link.next, &nodes[1]);
    EXPECT_EQ(nodes[1].link.next, nullptr);
    EXPECT_EQ(queue.bytes, 0U);
    EXPECT_EQ(tryPushMessageToQueue(&queue, &nodes[2]), 0);  // room again
    EXPECT_EQ(takeQueueHighWater(&queue), 100U);
    EXPECT_EQ(takeQueueHighWater(&queue), 1U);  // the next watch starts at what is queued
    ASSERT_EQ(popAllMessagesFromQueue(&queue, 0, &first), 0);
    EXPECT_EQ(popAllMessagesFromQueue(&queue, 0, &first), -2);
}

}  // namespace
