#include "tests/apps/mqtt_fakes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollMs = 20;
constexpr unsigned char kPuback = 4;
constexpr unsigned char kConnect = 1;

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

int listen_on(const std::string& path) {
    unlink(path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unix_address(path);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0)
        throw std::runtime_error("cannot listen on " + path + ": " + std::strerror(errno));
    return fd;
}

int connect_to(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unix_address(path);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// A connection waiting on `listener`, or -1 after a short wait.
int accept_soon(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Appends what fd has to `into`; false at its end or on an error.
bool read_some(int fd, std::string& into) {
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
}

// Milliseconds until `due`, rounded up, at most one poll's wait.
int wait_until(Clock::time_point due) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(kPollMs, left)));
}

}  // namespace

std::size_t whole_mqtt_packet(const std::string& bytes) {
    std::size_t remaining = 0;
    for (std::size_t i = 1; i < 5 && i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        remaining |= static_cast<std::size_t>(byte & 0x7F) << (7 * (i - 1));
        if ((byte & 0x80) == 0) {
            const std::size_t total = 1 + i + remaining;
            return bytes.size() >= total ? total : 0;
        }
    }
    return 0;
}

DelayingProxy::DelayingProxy(std::string path, std::string upstream,
                             std::chrono::milliseconds delay)
    : path_(std::move(path)), upstream_(std::move(upstream)), delay_(delay) {
    listener_ = listen_on(path_);
    acceptor_ = std::thread([this] { accept_loop(); });
}

DelayingProxy::~DelayingProxy() {
    stopping_.store(true);
    acceptor_.join();
    std::lock_guard<std::mutex> lock(relays_lock_);
    for (std::thread& t : relays_) t.join();
    close(listener_);
    unlink(path_.c_str());
}

void DelayingProxy::accept_loop() {
    while (!stopping_.load()) {
        const int client = accept_soon(listener_);
        if (client < 0) continue;
        connections_.fetch_add(1);
        std::lock_guard<std::mutex> lock(relays_lock_);
        relays_.emplace_back([this, client] { relay(client); });
    }
}

void DelayingProxy::relay(int client) {
    const int broker = connect_to(upstream_);
    std::string from_broker;
    std::deque<std::pair<Clock::time_point, std::string>> held;  // due, packet
    bool open = broker >= 0;
    while (open && !stopping_.load()) {
        pollfd p[2] = {{client, POLLIN, 0}, {broker, POLLIN, 0}};
        poll(p, 2, held.empty() ? kPollMs : wait_until(held.front().first));
        if (p[0].revents != 0) {
            std::string to_broker;
            open = read_some(client, to_broker) && send_all(broker, to_broker);
        }
        if (open && p[1].revents != 0) {
            open = read_some(broker, from_broker);
            for (std::size_t n; (n = whole_mqtt_packet(from_broker)) > 0;) {
                const bool ack = static_cast<unsigned char>(from_broker[0]) >> 4 == kPuback;
                if (ack && drop_acks_.load()) {
                    acks_dropped_.fetch_add(1);
                } else {
                    held.emplace_back(Clock::now() + delay_, from_broker.substr(0, n));
                }
                from_broker.erase(0, n);
            }
        }
        while (open && !held.empty() && held.front().first <= Clock::now()) {
            open = send_all(client, held.front().second);
            held.pop_front();
        }
    }
    if (broker >= 0) close(broker);
    close(client);
}

FlappingBroker::FlappingBroker(std::string path) : path_(std::move(path)) {
    listener_ = listen_on(path_);
    thread_ = std::thread([this] { serve(); });
}

FlappingBroker::~FlappingBroker() {
    stopping_.store(true);
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
}

std::vector<Clock::time_point> FlappingBroker::connections() const {
    std::lock_guard<std::mutex> lock(lock_);
    return connections_;
}

void FlappingBroker::serve() {
    while (!stopping_.load()) {
        const int client = accept_soon(listener_);
        if (client < 0) continue;
        {
            std::lock_guard<std::mutex> lock(lock_);
            connections_.push_back(Clock::now());
        }
        // The CONNECT, whole, then an accepting CONNACK (session not present, code 0).
        std::string in;
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (whole_mqtt_packet(in) == 0 && Clock::now() < until && !stopping_.load()) {
            pollfd p{client, POLLIN, 0};
            if (poll(&p, 1, kPollMs) > 0 && !read_some(client, in)) break;
        }
        if (!in.empty() && static_cast<unsigned char>(in[0]) >> 4 == kConnect)
            send_all(client, std::string("\x20\x02\x00\x00", 4));
        close(client);
    }
}

}  // namespace testing_support
