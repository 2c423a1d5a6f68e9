// An HTTP or HTTPS server on 127.0.0.1 for the cloud client's units. Every wait is bounded,
// so a client that never connects cannot hang a test.
#ifndef SM_TEST_LOCAL_HTTP_SERVER_H
#define SM_TEST_LOCAL_HTTP_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A socket bound to a free loopback port, and that port.
inline int boundLoopbackSocket(int* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        abort();
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

// A loopback port with nothing listening on it.
inline int closedLoopbackPort() {
    int port = 0;
    close(boundLoopbackSocket(&port));
    return port;
}

struct LocalServerOptions {
    std::string certFile;  // with keyFile: HTTPS
    std::string keyFile;
    int maxTlsVersion = 0;  // e.g. TLS1_1_VERSION: only that version and older, down to 1.0
    // A request that comes on a connection idle this long is not read: the connection is
    // closed under it, as by a front end's idle time-out that crosses the request (0: never).
    int idleCloseMs = 0;
};

// Serves every request on its connections, kept open between requests (keep-alive), from
// one thread, until it is destroyed. `answer` gives the raw reply to each request: kDrop
// closes the connection unanswered, kHold never answers; a reply with a "Connection: close"
// header closes it after the reply.
class LocalHttpServer {
public:
    using Answer = std::function<std::string(const std::string& request)>;
    static constexpr const char* kDrop = "drop";
    static constexpr const char* kHold = "hold";
    static constexpr const char* kCloseHeader = "\r\nConnection: close\r\n";

    static std::string reply(int status, const std::string& body) {
        return "HTTP/1.1 " + std::to_string(status) + " Test\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    LocalHttpServer(int status, const std::string& body)
        : LocalHttpServer([text = reply(status, body)](const std::string&) { return text; }) {}
    explicit LocalHttpServer(Answer answer, LocalServerOptions options = {})
        : answer_(std::move(answer)), options_(std::move(options)) {
        if (!options_.certFile.empty() && !initTls()) abort();
        listener_ = boundLoopbackSocket(&port_);
        // A small window, so that a large request is still being sent when its connection
        // is closed under it.
        const int window = 4096;
        if (options_.idleCloseMs > 0) {
            setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        }
        if (listen(listener_, 64) != 0) abort();
        thread_ = std::thread([this] { serve(); });
    }
    ~LocalHttpServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    std::string url(const std::string& path) const {
        return (tls_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port_) +
               path;
    }
    int port() const { return port_; }
    // Connections accepted (and, over HTTPS, that completed the handshake).
    size_t connections() const { return connections_; }
    size_t idleCloses() const { return idleCloses_; }
    size_t resumedSessions() const { return resumed_; }
    // Every request so far (head and body), in order of arrival.
    std::vector<std::string> requests() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // The first request, once it has come (empty after ten seconds without one).
    std::string request() {
        return waitForRequests(1) ? requests().front() : std::string();
    }
    // True once `count` requests have come; false after ten seconds.
    bool waitForRequests(size_t count) {
        for (int i = 0; i < 1000 && requests().size() < count; ++i) usleep(10000);
        return requests().size() >= count;
    }

private:
    struct SslFree {
        void operator()(SSL* ssl) const noexcept { SSL_free(ssl); }
    };
    struct SslCtxFree {
        void operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }
    };
    using Clock = std::chrono::steady_clock;
    struct Peer {
        explicit Peer(int socket) : fd(socket) {}
        Peer(Peer&& other) noexcept
            : fd(std::exchange(other.fd, -1)),
              ssl(std::move(other.ssl)),
              pending(std::move(other.pending)),
              lastUsed(other.lastUsed) {}
        Peer& operator=(Peer&& other) noexcept {
            std::swap(fd, other.fd);
            std::swap(ssl, other.ssl);
            std::swap(pending, other.pending);
            lastUsed = other.lastUsed;
            return *this;
        }
        ~Peer() {
            if (ssl) SSL_shutdown(ssl.get());  // close_notify, as a TLS front end sends it
            if (fd >= 0) close(fd);
        }
        int fd;
        std::unique_ptr<SSL, SslFree> ssl;
        std::string pending;
        Clock::time_point lastUsed = Clock::now();
    };

    bool initTls() {
        tls_.reset(SSL_CTX_new(TLS_server_method()));
        if (!tls_ || SSL_CTX_use_certificate_chain_file(tls_.get(), options_.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tls_.get(), options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            return false;
        }
        if (options_.maxTlsVersion == 0) return true;
        // Old versions need the lowest security level of OpenSSL 3 (SHA-1 in the handshake).
        return SSL_CTX_set_min_proto_version(tls_.get(), TLS1_VERSION) == 1 &&
               SSL_CTX_set_max_proto_version(tls_.get(), options_.maxTlsVersion) == 1 &&
               SSL_CTX_set_cipher_list(tls_.get(), "DEFAULT@SECLEVEL=0") == 1;
    }

    // The accepted connection, over HTTPS once its handshake is done; false to drop it.
    bool welcome(Peer& peer) {
        if (!tls_) return true;
        const timeval bound{2, 0};
        setsockopt(peer.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        setsockopt(peer.fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        peer.ssl.reset(SSL_new(tls_.get()));
        if (!peer.ssl || SSL_set_fd(peer.ssl.get(), peer.fd) != 1 ||
            SSL_accept(peer.ssl.get()) != 1) {
            return false;
        }
        resumed_ += SSL_session_reused(peer.ssl.get()) == 1 ? 1 : 0;
        return true;
    }

    ssize_t receive(Peer& peer, char* buf, size_t size) {
        return peer.ssl ? SSL_read(peer.ssl.get(), buf, static_cast<int>(size))
                        : read(peer.fd, buf, size);
    }
    bool send(Peer& peer, const std::string& text) {
        return peer.ssl ? SSL_write(peer.ssl.get(), text.data(), static_cast<int>(text.size())) > 0
                        : write(peer.fd, text.data(), text.size()) >= 0;
    }

    // Length of the first whole request (head, then Content-Length bytes), or 0.
    static size_t wholeRequest(const std::string& data) {
        const size_t head = data.find("\r\n\r\n");
        if (head == std::string::npos) return 0;
        const size_t cl = data.find("Content-Length:");
        const size_t size =
            head + 4 + (cl < head ? strtoul(data.c_str() + cl + 15, nullptr, 10) : 0);
        return data.size() >= size ? size : 0;
    }

    // Reads from the peer and answers its whole requests; false when it is to be closed.
    bool servePeer(Peer& peer) {
        char buf[4096];
        if (idleTooLong(peer)) {
            ++idleCloses_;
            return false;
        }
        do {  // TLS may hold a decrypted record back that poll cannot see
            const ssize_t n = receive(peer, buf, sizeof buf);
            if (n <= 0) return false;
            peer.pending.append(buf, static_cast<size_t>(n));
        } while (peer.ssl && SSL_pending(peer.ssl.get()) > 0);
        peer.lastUsed = Clock::now();
        while (const size_t size = wholeRequest(peer.pending)) {
            const std::string request = peer.pending.substr(0, size);
            peer.pending.erase(0, size);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            const std::string text = answer_(request);
            if (text == kDrop) return false;
            if (text != kHold && !send(peer, text)) return false;
            if (text.find(kCloseHeader) != std::string::npos) return false;
        }
        return true;
    }

    bool idleTooLong(const Peer& peer) const {
        return options_.idleCloseMs > 0 &&
               Clock::now() - peer.lastUsed >= std::chrono::milliseconds(options_.idleCloseMs);
    }

    void serve() {
        sigset_t pipe;  // a client gone while it is answered fails the write, not the test
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const Peer& peer : peers_) fds.push_back({peer.fd, POLLIN, 0});
            const int ready = poll(fds.data(), fds.size(), 20);
            for (size_t i = fds.size() - 1; i > 0; --i) {
                Peer& peer = peers_[i - 1];
                if (fds[i].revents == 0 || servePeer(peer)) continue;
                peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i - 1));
            }
            const int fd = ready > 0 && (fds[0].revents & POLLIN) != 0
                               ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)
                               : -1;
            if (fd < 0) continue;
            Peer peer(fd);
            if (!welcome(peer)) continue;
            peers_.push_back(std::move(peer));
            ++connections_;
        }
        peers_.clear();
    }

    Answer answer_;
    LocalServerOptions options_;
    std::unique_ptr<SSL_CTX, SslCtxFree> tls_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connections_{0};
    std::atomic<size_t> idleCloses_{0};
    std::atomic<size_t> resumed_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<Peer> peers_;  // the serving thread's alone
    std::thread thread_;
};

#endif
