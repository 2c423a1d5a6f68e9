#include "upload_window.h"

#include <gtest/gtest.h>

namespace {

using S = UploadSignal;
constexpr uint64_t kRtt = 600000;  // µs: a cellular round trip

// A flight of `count` uploads that started at `startedMs` and ended at `nowMs`.
void flight(UploadWindow& window, size_t count, S signal, uint64_t startedMs, uint64_t nowMs,
            uint64_t answerUs = kRtt) {
    for (size_t i = 0; i < count; ++i) window.onEnd(signal, startedMs, nowMs, answerUs);
}

// Each row is one flight on the same window, in order; `allowed` is the window after it.
TEST(UploadWindow, GrowsByTheLinkAndBacksOffOncePerFlight) {
    UploadWindow window;
    window.beginBatch();
    const struct {
        const char* what;
        size_t count;
        S signal;
        uint64_t startedMs;
        uint64_t nowMs;
        uint64_t answerUs;
        size_t allowed;
    } rows[] = {
        {"doubles per round trip while taken", 8, S::kTaken, 0, 600, kRtt, 16},
        {"up to the HTTP/1.1 ceiling", 16, S::kTaken, 600, 1200, kRtt, 32},
        {"a time-out halves it", 1, S::kLost, 1000, 11000, 0, 16},
        {"not again for uploads sent before the cut", 15, S::kLost, 1200, 11000, 0, 16},
        {"a link back doubles it again", 16, S::kTaken, 11001, 11600, kRtt, 32},
        {"429/503 halves it and ends the doubling", 1, S::kOverloaded, 11601, 12000, kRtt, 16},
        {"other answers say nothing", 5, S::kNeutral, 12000, 12600, kRtt, 16},
        {"then one per window's worth", 17, S::kTaken, 12600, 13200, kRtt, 17},
        {"queued answers hold it", 20, S::kTaken, 13200, 14700, 3 * kRtt, 17},
        {"answers within twice the fastest grow it", 18, S::kTaken, 14700, 15300, 2 * kRtt, 18},
    };
    for (const auto& row : rows) {
        flight(window, row.count, row.signal, row.startedMs, row.nowMs, row.answerUs);
        EXPECT_EQ(window.allowed(), row.allowed) << row.what;
    }
    for (uint64_t t = 20000; t < 30000; t += 1000) flight(window, 1, S::kOverloaded, t, t + 1);
    EXPECT_EQ(window.allowed(), upload_window::kMin) << "never below one";
}

// The protocol sets the ceiling: HTTP/2 streams share one connection, HTTP/1.1 needs one each.
// The round trip sets how long answers may gather.
TEST(UploadWindow, CeilingFollowsTheProtocol) {
    UploadWindow window;
    window.setMultiplexed(true);
    for (uint64_t t = 0; t < 10000; t += 600) flight(window, 100, S::kTaken, t, t + 600);
    EXPECT_EQ(window.allowed(), upload_window::kMaxStreams);
    // Many in flight: answers gather for a sixteenth of the round trip before a run.
    EXPECT_EQ(window.gatherUs(upload_window::kGatherFrom - 1), 0U);
    EXPECT_EQ(window.gatherUs(upload_window::kMaxStreams), kRtt / 16);
    window.setMultiplexed(false);
    EXPECT_EQ(window.allowed(), upload_window::kMaxConnections);
    // The fastest answer is forgotten after two batches: a slower route is learnt, not
    // taken for a queue.
    window.setMultiplexed(true);
    window.beginBatch();
    window.beginBatch();
    flight(window, 1, S::kTaken, 20000, 21500, 5 * kRtt);
    window.beginBatch();
    flight(window, 1, S::kTaken, 22000, 23500, 5 * kRtt);
    EXPECT_GT(window.allowed(), upload_window::kMaxConnections);
    EXPECT_EQ(window.gatherUs(upload_window::kMaxStreams), upload_window::kGatherMaxUs);
}

}  // namespace
