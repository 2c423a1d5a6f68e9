// A plain-HTTP server on 127.0.0.1 that answers exactly one request with a canned reply.
// Every wait is bounded, so a client that never connects cannot hang a test.
#ifndef SM_TEST_LOCAL_HTTP_SERVER_H
#define SM_TEST_LOCAL_HTTP_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

class LocalHttpServer {
public:
    LocalHttpServer(int status, std::string body) : status_(status), body_(std::move(body)) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            abort();
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serveOne(); });
    }
    ~LocalHttpServer() {
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // The raw request (head and body) once the exchange is over.
    std::string request() {
        if (thread_.joinable()) thread_.join();
        return request_;
    }

private:
    static bool waitReadable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }

    void readRequest(int fd) {
        char buf[4096];
        size_t expected = std::string::npos;
        while (expected == std::string::npos || request_.size() < expected) {
            if (!waitReadable(fd)) return;
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return;
            request_.append(buf, static_cast<size_t>(n));
            const size_t head = request_.find("\r\n\r\n");
            if (head != std::string::npos && expected == std::string::npos) {
                const size_t cl = request_.find("Content-Length:");
                const size_t length =
                    cl < head ? strtoul(request_.c_str() + cl + 15, nullptr, 10) : 0;
                expected = head + 4 + length;
            }
        }
    }

    void writeAll(int fd, const std::string& data) {
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = write(fd, data.data() + done, data.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }

    void reply(int fd) {
        writeAll(fd, "HTTP/1.1 " + std::to_string(status_) + " Test\r\nConnection: close\r\n" +
                         "Content-Length: " + std::to_string(body_.size()) + "\r\n\r\n" + body_);
    }

    void serveOne() {
        if (!waitReadable(listener_)) return;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        readRequest(fd);
        reply(fd);
        close(fd);
    }

    int status_;
    std::string body_;
    int listener_ = -1;
    int port_ = 0;
    std::string request_;
    std::thread thread_;
};

// A loopback port with nothing listening on it.
inline int closedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

#endif
