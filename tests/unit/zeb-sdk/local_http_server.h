// A plain-HTTP server on 127.0.0.1 for the cloud client's units. Every wait is bounded, so
// a client that never connects cannot hang a test.
#ifndef SM_TEST_LOCAL_HTTP_SERVER_H
#define SM_TEST_LOCAL_HTTP_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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

// Serves every request on its connections, kept open between requests (keep-alive), from
// one thread, until it is destroyed. `answer` gives the raw reply to each request: kDrop
// closes the connection unanswered, kHold never answers.
class LocalHttpServer {
public:
    using Answer = std::function<std::string(const std::string& request)>;
    static constexpr const char* kDrop = "drop";
    static constexpr const char* kHold = "hold";

    static std::string reply(int status, const std::string& body) {
        return "HTTP/1.1 " + std::to_string(status) + " Test\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    LocalHttpServer(int status, const std::string& body)
        : LocalHttpServer([text = reply(status, body)](const std::string&) { return text; }) {}
    explicit LocalHttpServer(Answer answer) : answer_(std::move(answer)) {
        listener_ = boundLoopbackSocket(&port_);
        if (listen(listener_, 64) != 0) abort();
        thread_ = std::thread([this] { serve(); });
    }
    ~LocalHttpServer() {
        stop_ = true;
        thread_.join();
        for (const Peer& peer : peers_) close(peer.fd);
        close(listener_);
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    size_t connections() const { return connections_; }
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
    struct Peer {
        int fd;
        std::string pending;
    };

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
        const ssize_t n = read(peer.fd, buf, sizeof buf);
        if (n <= 0) return false;
        peer.pending.append(buf, static_cast<size_t>(n));
        while (const size_t size = wholeRequest(peer.pending)) {
            const std::string request = peer.pending.substr(0, size);
            peer.pending.erase(0, size);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            const std::string text = answer_(request);
            if (text == kDrop) return false;
            if (text != kHold && write(peer.fd, text.data(), text.size()) < 0) return false;
        }
        return true;
    }

    void serve() {
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const Peer& peer : peers_) fds.push_back({peer.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (size_t i = fds.size() - 1; i > 0; --i) {
                if (fds[i].revents == 0 || servePeer(peers_[i - 1])) continue;
                close(peers_[i - 1].fd);
                peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i - 1));
            }
            const int fd = (fds[0].revents & POLLIN) != 0
                               ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)
                               : -1;
            if (fd >= 0) peers_.push_back(Peer{fd, {}});
            connections_ += fd >= 0 ? 1 : 0;
        }
    }

    Answer answer_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<Peer> peers_;  // the serving thread's alone
    std::thread thread_;
};

#endif
