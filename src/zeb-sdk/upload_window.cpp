#include "upload_window.h"

#include <algorithm>

size_t UploadWindow::allowed() const {
    return std::max(upload_window::kMin, static_cast<size_t>(size_));
}

uint64_t UploadWindow::fastestSeenUs() const { return std::min(fastestUs_, fastestBeforeUs_); }

uint64_t UploadWindow::gatherUs(size_t inFlight) const {
    const uint64_t fastest = fastestSeenUs();
    if (inFlight < upload_window::kGatherFrom || fastest == UINT64_MAX) return 0;
    return std::min(upload_window::kGatherMaxUs, fastest / upload_window::kGatherShare);
}

void UploadWindow::setMultiplexed(bool multiplexed) {
    ceiling_ = static_cast<double>(multiplexed ? upload_window::kMaxStreams
                                               : upload_window::kMaxConnections);
    size_ = std::min(size_, ceiling_);
}

void UploadWindow::beginBatch() {
    fastestBeforeUs_ = fastestUs_;
    fastestUs_ = UINT64_MAX;
}

void UploadWindow::onEnd(UploadSignal signal, uint64_t startedMs, uint64_t nowMs,
                         uint64_t answerUs) {
    if (signal == UploadSignal::kTaken) grow(answerUs);
    // Uploads that were on their way when the window was cut carry no news.
    const bool cuts = signal == UploadSignal::kLost || signal == UploadSignal::kOverloaded;
    if (cuts && (!cutOnce_ || startedMs > lastCutMs_)) cut(signal, nowMs);
}

void UploadWindow::grow(uint64_t answerUs) {
    const uint64_t fastest = fastestSeenUs();
    fastestUs_ = std::min(fastestUs_, answerUs);
    if (fastest != UINT64_MAX && answerUs > fastest * upload_window::kQueuedPercent / 100 +
                                                upload_window::kQueuedSlackUs) {
        threshold_ = std::min(threshold_, size_);  // the link is full: no more doubling
        return;
    }
    size_ += size_ < threshold_ ? 1.0 : 1.0 / size_;
    size_ = std::min(size_, ceiling_);
}

void UploadWindow::cut(UploadSignal signal, uint64_t nowMs) {
    size_ = std::max(static_cast<double>(upload_window::kMin), size_ / 2);
    if (signal == UploadSignal::kOverloaded) threshold_ = size_;
    cutOnce_ = true;
    lastCutMs_ = nowMs;
}
