// How many uploads a client keeps in flight: a window that follows the link's
// bandwidth-delay product instead of a constant. Each upload is one request and one answer,
// so the window counts requests, as TCP's counts segments:
//   - it opens by one for each upload the cloud takes (doubling per round trip) until the
//     first sign of a full link, then by one per window's worth of answers;
//   - it stops growing while answers come back much slower than the fastest one seen: the
//     link queues the extra uploads, so more in flight would only add delay;
//   - it halves at once on a time-out, a lost connection or a 429/503, once per flight: the
//     answers of uploads sent before the cut do not cut it again. A 429/503 (the server
//     has had enough) also ends the doubling; a lost link does not: once it is back, the
//     window doubles again up to what it had learnt, instead of creeping up by one per
//     round trip from the one upload that probed it.
// Its ceiling is the protocol's: streams of one HTTP/2 connection, or HTTP/1.1 connections
// (one request each at a time). The clock is the caller's, so a table can drive it.
#ifndef ZEB_SDK_UPLOAD_WINDOW_H
#define ZEB_SDK_UPLOAD_WINDOW_H

#include <cstddef>
#include <cstdint>

#include "zeb-sdk.h"

namespace upload_window {
// A first batch starts where the fixed figure of old was, so it is never slower.
constexpr size_t kStart = 8;
constexpr size_t kMin = 1;
// HTTP/2: libcurl's own default of streams per connection, within the 128 that front ends
// commonly allow: enough for 1 Mbit/s at a 300 ms round trip.
constexpr size_t kMaxStreams = kMaxUploadsInFlight;
// HTTP/1.1: each upload in flight holds a TLS connection of its own.
constexpr size_t kMaxConnections = 32;
// An answer that took more than this share of the fastest one, plus a little for jitter,
// waited in a queue.
constexpr uint64_t kQueuedPercent = 200;
constexpr uint64_t kQueuedSlackUs = 10000;
// With this many in flight, the transfer loop lets answers gather for a sixteenth of the
// fastest answer's time (50 ms at most) before it runs them: each run visits every
// transfer, and a slow link would otherwise wake it for every packet.
constexpr size_t kGatherFrom = 16;
constexpr uint64_t kGatherShare = 16;
constexpr uint64_t kGatherMaxUs = 50000;
}  // namespace upload_window

// What an upload's end tells the window.
enum class UploadSignal {
    kTaken,       // answered 2xx
    kLost,        // no answer: a time-out or a lost connection
    kOverloaded,  // answered 429 or 503: the server has had enough
    kNeutral,     // any other answer or failure: says nothing about the load
};

class UploadWindow {
public:
    // Uploads that may be in flight now (at least one).
    [[nodiscard]] size_t allowed() const;
    // How long to let answers gather before a run of the transfer loop, with `inFlight`
    // uploads under way (0: run at once).
    [[nodiscard]] uint64_t gatherUs(size_t inFlight) const;
    // The protocol the last connection spoke: it sets the ceiling.
    void setMultiplexed(bool multiplexed);
    // A batch begins: the fastest answer of the batch before it is still a reference, older
    // ones are forgotten (a route that changed is learnt within two batches).
    void beginBatch();
    // An upload that started at startedMs ended at nowMs; answerUs is the time from its
    // request going out to its answer (0 when none came).
    void onEnd(UploadSignal signal, uint64_t startedMs, uint64_t nowMs, uint64_t answerUs);

private:
    // The fastest answer of this batch and the one before (UINT64_MAX: none yet).
    [[nodiscard]] uint64_t fastestSeenUs() const;
    void grow(uint64_t answerUs);
    void cut(UploadSignal signal, uint64_t nowMs);

    double size_ = static_cast<double>(upload_window::kStart);
    double threshold_ = static_cast<double>(upload_window::kMaxStreams);
    double ceiling_ = static_cast<double>(upload_window::kMaxConnections);
    bool cutOnce_ = false;
    uint64_t lastCutMs_ = 0;
    uint64_t fastestUs_ = UINT64_MAX;        // this batch's fastest answer
    uint64_t fastestBeforeUs_ = UINT64_MAX;  // the batch before's
};

#endif
