#pragma once

// A plain HTTP/1.1 client for tests: one request per connection, the whole reply read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/apps/eventually.h"
#include "tests/apps/programs.h"

namespace testing_support {

struct HttpReply {
    int status = 0;  // 0: no reply
    std::string headers;
    std::string body;
};

// A connected socket to address (IPv4 or IPv6, as text) and port, or -1.
inline int connect_to(const std::string& address, int port) {
    sockaddr_storage to{};
    socklen_t size = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        size = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        size = sizeof *v6;
    } else {
        return -1;
    }
    const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connected socket to 127.0.0.1:port, or -1.
inline int connect_local(int port) { return connect_to("127.0.0.1", port); }

// One request to address:port; Host: 127.0.0.1 unless extra_headers begin with another.
inline HttpReply http_request_at(const std::string& address, int port, const std::string& method,
                                 const std::string& target, const std::string& extra_headers = "",
                                 double timeout_s = 10) {
    HttpReply reply;
    const int fd = connect_to(address, port);
    if (fd < 0) return reply;
    const bool named = extra_headers.compare(0, 5, "Host:") == 0;
    const std::string request = method + " " + target + " HTTP/1.1\r\n" +
                                (named ? "" : "Host: 127.0.0.1\r\n") + extra_headers +
                                "Connection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        close(fd);
        return reply;
    }
    std::string all;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<int>(timeout_s * 1000));
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    const auto end = all.find("\r\n\r\n");
    if (all.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return reply;
    reply.status = std::stoi(all.substr(9, 3));
    reply.headers = all.substr(0, end);
    reply.body = all.substr(end + 4);
    return reply;
}

inline HttpReply http_request(int port, const std::string& method, const std::string& target,
                              const std::string& extra_headers = "", double timeout_s = 10) {
    return http_request_at("127.0.0.1", port, method, target, extra_headers, timeout_s);
}

inline HttpReply http_get(int port, const std::string& target, const std::string& headers = "") {
    return http_request(port, "GET", target, headers);
}

}  // namespace testing_support
