#include "transfer.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>

#include "common.h"

namespace {

// Longest wait for socket activity; an abort wakes the wait at once.
constexpr int kPollMs = 1000;
// Kept connections per channel: one per transfer in flight over HTTP/1.1; HTTP/2 carries
// them all as streams of one.
constexpr long kKeptConnections = static_cast<long>(upload_window::kMaxConnections);
constexpr long kStreamsPerConnection = static_cast<long>(upload_window::kMaxStreams);
// A kept connection idle for longer is closed, not used again. Front ends close idle
// keep-alive connections after their own time-out, commonly 5 s (Apache httpd, Node.js) to
// 60 s (load balancers), and a request sent on a connection the server is closing is lost.
// libcurl counts whole seconds, so connections idle for up to 3 s are used: enough for the
// back-to-back transfers of a batch, while the next period connects anew (resuming the TLS
// session). A server that closes sooner is met by the one resend below.
constexpr long kMaxIdleSeconds = 2;
// A batch that starts this soon after an answer finds its connections kept: well within the
// idle limit above, which libcurl counts in whole seconds.
constexpr uint64_t kWarmMs = 1000;

int stopWhenAborted(void* clientData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    const auto* client = static_cast<const CloudSdkClient*>(clientData);
    return client->aborted.load() ? 1 : 0;
}

CURLcode installCaStore(CURL*, void* sslContext, void* clientData) noexcept {
    auto* client = static_cast<CloudSdkClient*>(clientData);
    return client->channels->caStore.installInto(sslContext, client->caPath)
               ? CURLE_OK
               : CURLE_SSL_CACERT_BADFILE;
}

// A new multi handle (connection cache) and share (TLS sessions, names) for a channel.
[[nodiscard]] bool newKeptState(CurlMultiPtr& multi, CurlSharePtr& share) {
    multi.reset(curl_multi_init());
    share.reset(curl_share_init());
    if (!multi || !share) return false;
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, kKeptConnections);
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, kKeptConnections);
    // Within a server's own SETTINGS_MAX_CONCURRENT_STREAMS too, which libcurl honours.
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_CONCURRENT_STREAMS, kStreamsPerConnection);
    return true;
}

[[nodiscard]] bool initChannel(TransferChannel& channel) {
    return newKeptState(channel.multi, channel.share);
}

// Closes the channel's kept connections and forgets its TLS sessions: they were verified
// against a CA bundle that has changed since. Between batches, under the channel's lock.
// False when memory is short: the next batch tries again.
bool dropKeptState(TransferChannel& channel) {
    CurlSharePtr share;
    CurlMultiPtr multi;  // the old one is cleaned up first, closing its connections
    if (!newKeptState(multi, share)) return false;
    for (CurlPtr& handle : channel.handles) handle.reset();  // they point at the old share
    {
        const std::lock_guard<std::mutex> lock(channel.wakeLock);
        channel.multi.swap(multi);
    }
    channel.share.swap(share);
    SM_LOG(1, "ca file changed, kept connections closed\n");
    return true;
}

// The slot's handle reset for a new request, with the options every request shares.
CURL* freshHandle(CloudSdkClient* client, TransferChannel& channel, size_t slot) {
    CurlPtr& handle = channel.handles[slot];
    if (!handle) handle.reset(curl_easy_init());
    if (!handle) {
        SM_LOG(3, "cur_easy_init failed\n");
        return nullptr;
    }
    // Resetting keeps the connections and TLS sessions but drops every option of the
    // previous request, its headers and credentials included.
    curl_easy_reset(handle.get());
    curl_easy_setopt(handle.get(), CURLOPT_PRIVATE, reinterpret_cast<void*>(slot));
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, stopWhenAborted);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, client);
    curl_easy_setopt(handle.get(), CURLOPT_SHARE, channel.share.get());
    curl_easy_setopt(handle.get(), CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
    // Over HTTP/2 a transfer waits for the connection being made and becomes one of its
    // streams, rather than opening a connection of its own.
    curl_easy_setopt(handle.get(), CURLOPT_PIPEWAIT, 1L);
    // TLS 1.2 or later, whatever the machine's OpenSSL policy would allow.
    curl_easy_setopt(handle.get(), CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    // An abandoned transfer that is still resolving leaves its resolver thread behind
    // instead of joining it: with a name server that never answers, the join waits for
    // the resolver's own time-out (10 s per server), past the shutdown bound.
    curl_easy_setopt(handle.get(), CURLOPT_QUICK_EXIT, 1L);
    return handle.get();
}

// What a transfer's end tells the window.
UploadSignal signalOf(CURLcode code, long status) {
    if (code == CURLE_OK) {
        if (status >= 200 && status < 300) return UploadSignal::kTaken;
        return cloudSdkOverloaded(status) ? UploadSignal::kOverloaded : UploadSignal::kNeutral;
    }
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
            return UploadSignal::kLost;
        default:
            return UploadSignal::kNeutral;
    }
}

// From the request going out to the answer's end, in µs: the handshakes of a new
// connection are not the link's queue.
uint64_t answerMicros(CURL* handle) {
    curl_off_t total = 0;
    curl_off_t sent = 0;
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME_T, &total);
    curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &sent);
    return total > sent ? static_cast<uint64_t>(total - sent) : 0;
}

bool spokeHttp2(CURL* handle) {
    long version = 0;
    curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &version);
    return version >= CURL_HTTP_VERSION_2_0;
}

// One batch on a locked channel.
class BatchRun {
public:
    BatchRun(CloudSdkClient* client, TransferChannel& channel, size_t count, size_t limit,
             TransferJob& job)
        : client_(client), channel_(channel), count_(count), limit_(limit), job_(job) {}

    size_t run() {
        channel_.window.beginBatch();
        while (!client_->aborted.load() && (mayStart() || active_ > 0)) {
            startWhileRoom();
            int running = 0;
            if (curl_multi_perform(channel_.multi.get(), &running) != CURLM_OK) break;
            if (collectFinished() == 0 && active_ > 0) {
                curl_multi_poll(channel_.multi.get(), nullptr, 0, kPollMs, nullptr);
                gather();
            }
        }
        abandonActive();
        return next_;
    }

private:
    bool mayStart() const { return next_ < count_ && !linkLost_; }

    // Many in flight over a slow link: a short pause lets the answers that follow the one
    // that woke the loop come too, so that one run takes them all. An abort waits for it.
    void gather() const {
        const uint64_t pause = channel_.window.gatherUs(active_);
        if (pause != 0 && !client_->aborted.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause));
        }
    }

    // The first transfer of a batch runs alone, unless the last batch has just ended: once it
    // has connected, the CA store is loaded, a TLS session is there to resume and the
    // protocol is known, and the others start from that.
    bool warm() const {
        return finished_ > 0 || (channel_.lastAnswerMs != 0 &&
                                 get_monotonic_ms() - channel_.lastAnswerMs < kWarmMs);
    }

    void startWhileRoom() {
        const size_t room = warm() ? std::min(limit_, channel_.window.allowed()) : 1;
        for (size_t slot = 0; slot < kMaxUploadsInFlight && active_ < room && mayStart();
             ++slot) {
            if (busy_[slot]) continue;
            const size_t index = next_++;
            if (!start(slot, index, false)) {
                job_.finish(slot, index, CURLE_FAILED_INIT, 0);
                continue;
            }
            busy_[slot] = true;
            index_[slot] = index;
            startedMs_[slot] = get_monotonic_ms();
            ++active_;
        }
    }

    // Transfer `index` on the slot's handle, on a new connection when `fresh`.
    bool start(size_t slot, size_t index, bool fresh) {
        CURL* handle = freshHandle(client_, channel_, slot);
        if (handle == nullptr || !job_.prepare(handle, slot, index)) return false;
        curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
        resent_[slot] = fresh;
        return curl_multi_add_handle(channel_.multi.get(), handle) == CURLM_OK;
    }

    // A kept connection that the server closed while the request went out: it failed
    // before any byte of a reply, so the server has not answered it. libcurl resends such
    // a request itself only when the failure shows while reading, not while sending.
    bool diedUnanswered(CURL* handle, CURLcode code, size_t slot) const {
        if (resent_[slot] || client_->aborted.load()) return false;
        if (code != CURLE_SEND_ERROR && code != CURLE_RECV_ERROR && code != CURLE_GOT_NOTHING) {
            return false;
        }
        long connects = -1;
        long replyBytes = -1;
        curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects);
        curl_easy_getinfo(handle, CURLINFO_HEADER_SIZE, &replyBytes);
        return connects == 0 && replyBytes == 0;
    }

    size_t collectFinished() {
        size_t finished = 0;
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(channel_.multi.get(), &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* handle = msg->easy_handle;
            const CURLcode code = msg->data.result;  // msg is invalid once the handle goes
            long status = 0;
            if (code == CURLE_OK) curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
            end(slotOf(handle), code, status);
            ++finished;
        }
        return finished;
    }

    static size_t slotOf(CURL* handle) {
        void* slot = nullptr;
        curl_easy_getinfo(handle, CURLINFO_PRIVATE, &slot);
        return reinterpret_cast<size_t>(slot);
    }

    void end(size_t slot, CURLcode code, long status) {
        CURL* handle = channel_.handles[slot].get();
        const bool resend = diedUnanswered(handle, code, slot);
        curl_multi_remove_handle(channel_.multi.get(), handle);
        if (resend) {
            SM_LOG(1, "connection closed by the server, request sent again on a new one\n");
            if (start(slot, index_[slot], true)) return;
        }
        if (code != CURLE_ABORTED_BY_CALLBACK) learn(handle, slot, code, status);
        busy_[slot] = false;
        --active_;
        ++finished_;
        job_.finish(slot, index_[slot], code, status);
    }

    void learn(CURL* handle, size_t slot, CURLcode code, long status) {
        UploadWindow& window = channel_.window;
        const uint64_t nowMs = get_monotonic_ms();
        if (code == CURLE_OK) {
            window.setMultiplexed(spokeHttp2(handle));
            channel_.lastAnswerMs = nowMs;
        }
        window.onEnd(signalOf(code, status), startedMs_[slot], nowMs,
                     code == CURLE_OK ? answerMicros(handle) : 0);
        // No answer: the link is gone or broken, and the rest would only wait for it too.
        if (code != CURLE_OK) linkLost_ = true;
    }

    // After an abort: a transfer removed mid-way has its connection closed, not kept.
    void abandonActive() {
        for (size_t slot = 0; slot < kMaxUploadsInFlight; ++slot) {
            if (busy_[slot]) end(slot, CURLE_ABORTED_BY_CALLBACK, 0);
        }
    }

    CloudSdkClient* client_;
    TransferChannel& channel_;
    size_t count_;
    size_t limit_;
    TransferJob& job_;
    size_t next_ = 0;
    size_t active_ = 0;
    size_t finished_ = 0;
    bool linkLost_ = false;
    bool busy_[kMaxUploadsInFlight] = {};
    uint64_t startedMs_[kMaxUploadsInFlight] = {};
    bool resent_[kMaxUploadsInFlight] = {};
    size_t index_[kMaxUploadsInFlight] = {};
};

}  // namespace

void CloudSdkChannelsDeleter::operator()(CloudSdkChannels* channels) const noexcept {
    std::default_delete<CloudSdkChannels>()(channels);
}

CloudSdkChannels* cloudSdkNewChannels() {
    std::unique_ptr<CloudSdkChannels> channels(new (std::nothrow) CloudSdkChannels);
    if (!channels || !initChannel(channels->upload) || !initChannel(channels->management)) {
        return nullptr;
    }
    return channels.release();
}

size_t cloudSdkRunTransfers(CloudSdkClient* client, TransferChannel& channel, size_t count,
                            size_t limit, TransferJob& job) {
    const std::lock_guard<std::mutex> lock(channel.lock);
    const unsigned long caChanges = client->channels->caStore.refresh(client->caPath);
    if (caChanges != channel.caChanges && (channel.caChanges == 0 || dropKeptState(channel))) {
        channel.caChanges = caChanges;
    }
    if (limit > kMaxUploadsInFlight) limit = kMaxUploadsInFlight;
    if (limit == 0) limit = 1;
    return BatchRun(client, channel, count, limit, job).run();
}

void cloudSdkWakeChannel(TransferChannel& channel) {
    const std::lock_guard<std::mutex> lock(channel.wakeLock);
    curl_multi_wakeup(channel.multi.get());
}

void cloudSdkLogTransferError(CURLcode code) {
    SM_LOG(2, "curl_easy_perform() failed: %s\n", curl_easy_strerror(code));
}

bool cloudSdkAppendHeader(CurlSlistPtr& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (grown == nullptr) return false;
    (void)list.release();  // same list, or the first node of a new one
    list.reset(grown);
    return true;
}

void cloudSdkSetVerifiedTransfer(CURL* curl, CloudSdkClient* client) {
    curl_easy_setopt(curl, CURLOPT_VERBOSE, client->verbose);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // With a TLS library that takes no context callback, libcurl reads the bundle itself.
    if (curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, installCaStore) == CURLE_OK &&
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, client) == CURLE_OK) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    } else {
        curl_easy_setopt(curl, CURLOPT_CAINFO, client->caPath);
    }
}
