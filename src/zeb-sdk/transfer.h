// Kept libcurl state of a cloud client and the loop that runs its transfers. Each channel is
// a multi handle with a few easy handles that are reset, not recreated, between requests:
// the multi handle keeps the open connections (keep-alive), their TLS sessions and the
// loaded CA store, so a request on a warm channel costs neither a handshake nor a re-read
// of the CA bundle. Every request still sets all its options and headers anew.
#ifndef ZEB_SDK_TRANSFER_H
#define ZEB_SDK_TRANSFER_H

#include <curl/curl.h>

#include <cstddef>
#include <mutex>

#include "raii.h"
#include "ca_store.h"
#include "upload_window.h"
#include "zeb-sdk.h"

struct TransferChannel {
    // Held for a whole batch: libcurl handles are not thread-safe. Lock order: a channel's
    // lock, then the client's credential lock or the CA store's lock, then `wakeLock`.
    std::mutex lock;
    // Guards the `multi` pointer alone, so that an abort can wake a batch without waiting
    // for the batch's lock while the kept state is replaced under it.
    std::mutex wakeLock;
    CurlMultiPtr multi;
    // TLS sessions shared by the channel's handles, so that a second connection resumes the
    // first one's session. Used only under `lock`, hence no lock callbacks.
    CurlSharePtr share;
    CurlPtr handles[kMaxUploadsInFlight];  // made on first use, detached between batches
    // How many transfers the channel runs at once; it learns across batches.
    UploadWindow window;
    // When the last answer came (monotonic ms): a batch right after it finds warm connections.
    uint64_t lastAnswerMs = 0;
    // The CA store's change count when the kept connections and sessions were made.
    unsigned long caChanges = 0;
};

struct CloudSdkChannels {
    TransferChannel upload;
    TransferChannel management;
    CaStore caStore;
};

// Both channels, or null when memory is short.
[[nodiscard]] CloudSdkChannels* cloudSdkNewChannels();

// What a batch does with each of its transfers. `slot` (below kMaxUploadsInFlight) names
// the easy handle the transfer runs on, so per-transfer data can live in a per-slot array.
class TransferJob {
public:
    virtual ~TransferJob() = default;
    // Sets transfer `index` up on a freshly reset handle; false fails it unsent.
    virtual bool prepare(CURL* handle, size_t slot, size_t index) = 0;
    // The outcome: CURLE_OK with the HTTP status, or the libcurl error (status 0).
    virtual void finish(size_t slot, size_t index, CURLcode code, long status) = 0;
};

// Runs transfers 0..count-1 on the channel, at most `limit` (≤ kMaxUploadsInFlight) and at
// most the channel's window at a time; finish() is called once for each transfer that was
// started. Once a transfer gets no answer (time-out, lost connection) no other one starts: a
// lost link costs one time-out per batch, not one per transfer. Returns how many were
// started: fewer than count when the link was lost, the client was aborted or libcurl itself
// failed.
size_t cloudSdkRunTransfers(CloudSdkClient* client, TransferChannel& channel, size_t count,
                            size_t limit, TransferJob& job);

// Wakes a batch of the channel that waits for socket activity. Any thread may call it.
void cloudSdkWakeChannel(TransferChannel& channel);

// Logs a libcurl failure of one transfer with the client's usual line.
void cloudSdkLogTransferError(CURLcode code);
// Appends one header line; on failure the list keeps what it had.
[[nodiscard]] bool cloudSdkAppendHeader(CurlSlistPtr& list, const char* line);
// Server verification against the client's CA bundle (read once, see CaStore); always on.
void cloudSdkSetVerifiedTransfer(CURL* curl, CloudSdkClient* client);

#endif
