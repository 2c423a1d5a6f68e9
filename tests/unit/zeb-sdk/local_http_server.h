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

class LocalHttpServer {
public:
    LocalHttpServer(int status, const std::string& body) {
        listener_ = boundLoopbackSocket(&port_);
        if (listen(listener_, 1) != 0) abort();
        reply_ = "HTTP/1.1 " + std::to_string(status) + " Test\r\nConnection: close\r\n" +
                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
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
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }
    // Reads the head, then as many body bytes as Content-Length announces.
    void readRequest(int fd) {
        char buf[4096];
        for (size_t expected = std::string::npos; request_.size() < expected;) {
            const ssize_t n = readable(fd) ? read(fd, buf, sizeof buf) : -1;
            if (n <= 0) return;
            request_.append(buf, static_cast<size_t>(n));
            const size_t head = request_.find("\r\n\r\n");
            if (head != std::string::npos) {
                const size_t cl = request_.find("Content-Length:");
                expected = head + 4 + (cl < head ? strtoul(request_.c_str() + cl + 15, nullptr, 10) : 0);
            }
        }
    }
    void serveOne() {
        const int fd = readable(listener_) ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (fd < 0) return;
        readRequest(fd);
        for (size_t done = 0; done < reply_.size();) {
            const ssize_t n = write(fd, reply_.data() + done, reply_.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    }

    int listener_ = -1;
    int port_ = 0;
    std::string reply_;
    std::string request_;
    std::thread thread_;
};

#endif
