#include "tests/apps/hostile_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

namespace testing_support {

namespace {

int read_count(const Bytes& request, std::size_t at) { return request[at] << 8 | request[at + 1]; }

Bytes register_bytes(int start, int count) {
    Bytes data{static_cast<uint8_t>(2 * count)};
    for (int i = 0; i < count; ++i) {
        const uint16_t value = register_value(start + i);
        data.push_back(static_cast<uint8_t>(value >> 8));
        data.push_back(static_cast<uint8_t>(value));
    }
    return data;
}

Bytes mbap(const Bytes& request, const Bytes& pdu) {
    const std::size_t length = pdu.size() + 1;
    Bytes frame{request[0],
                request[1],
                0,
                0,
                static_cast<uint8_t>(length >> 8),
                static_cast<uint8_t>(length),
                request[6]};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

// Waits for fd to be readable in slices, so that the peer notices when it is to stop.
bool readable(int fd, const std::atomic<bool>& stopping) {
    while (!stopping) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 20) > 0) return true;
    }
    return false;
}

}  // namespace

Bytes tcp_reply(const Bytes& request) {
    Bytes pdu{0x03};
    const Bytes data = register_bytes(read_count(request, 8), read_count(request, 10));
    pdu.insert(pdu.end(), data.begin(), data.end());
    return mbap(request, pdu);
}

Bytes tcp_exception(const Bytes& request, uint8_t code) { return mbap(request, {0x83, code}); }

Bytes with_crc(Bytes frame) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : frame) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

Bytes rtu_reply(const Bytes& request) {
    Bytes frame{request[0], 0x03};
    const Bytes data = register_bytes(read_count(request, 2), read_count(request, 4));
    frame.insert(frame.end(), data.begin(), data.end());
    return with_crc(frame);
}

Bytes rtu_exception(const Bytes& request, uint8_t code) {
    return with_crc({request[0], 0x83, code});
}

HostilePeer::~HostilePeer() { finish(); }

void HostilePeer::start(std::function<void()> body) { thread_ = std::thread(std::move(body)); }

void HostilePeer::finish() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

bool HostilePeer::answer_on(int fd, const Answer& answer) {
    if (answer.byte_gap_ms <= 0) {
        std::size_t sent = 0;
        while (sent < answer.bytes.size()) {
            const ssize_t n = write(fd, answer.bytes.data() + sent, answer.bytes.size() - sent);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    for (uint8_t byte : answer.bytes) {
        const auto next =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.byte_gap_ms);
        if (write(fd, &byte, 1) != 1) return false;
        while (std::chrono::steady_clock::now() < next) {
            // A host that hung up is let go at once, so that the peer can take its next call.
            pollfd gone{fd, POLLRDHUP, 0};
            if (stopping_ || (poll(&gone, 1, 5) > 0 && (gone.revents & (POLLRDHUP | POLLHUP))))
                return false;
        }
    }
    return true;
}

HostileTcpServer::HostileTcpServer(Script script, Frames frames)
    : HostilePeer(std::move(script)), frames_(frames) {
    std::signal(SIGPIPE, SIG_IGN);  // a host that hung up is seen in the failed write
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("the hostile server cannot listen");
    port_ = ntohs(address.sin_port);
    start([this] { serve(); });
}

HostileTcpServer::~HostileTcpServer() {
    finish();
    close(listener_);
}

void HostileTcpServer::serve() {
    while (readable(listener_, stopping_)) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        Bytes pending;
        uint8_t chunk[512];
        bool open = true;
        while (open && readable(client, stopping_)) {
            const ssize_t n = recv(client, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            pending.insert(pending.end(), chunk, chunk + n);
            for (std::size_t size; open && (size = whole_request(pending)) > 0;) {
                const Bytes request(pending.begin(), pending.begin() + static_cast<long>(size));
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(size));
                const Answer answer = script_(request, ++requests_);
                open = answer_on(client, answer) && !answer.hang_up && !answer.hang_up_late;
                ++answered_;
                pollfd next{client, POLLIN, 0};
                if (answer.hang_up_late && pending.empty()) poll(&next, 1, 2000);
            }
        }
        close(client);
    }
}

std::size_t HostileTcpServer::whole_request(const Bytes& pending) const {
    // RTU: a read-holding-registers request is eight bytes: unit, function, start, count, CRC.
    if (frames_ == Frames::rtu) return pending.size() >= 8 ? 8 : 0;
    // MBAP: six header bytes, the sixth and fifth the length of what follows.
    if (pending.size() < 6) return 0;
    const std::size_t size = 6u + static_cast<std::size_t>(read_count(pending, 4));
    return pending.size() >= size ? size : 0;
}

HostileRtuDevice::HostileRtuDevice(Script script) : HostilePeer(std::move(script)) {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("no pseudo-terminal for the hostile device");
    path_ = name;
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    start([this] { serve(); });
}

HostileRtuDevice::~HostileRtuDevice() {
    finish();
    close(master_);
    close(slave_);
}

void HostileRtuDevice::send_noise(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(write_lock_);
    answer_on(master_, Answer{bytes, 0});
}

bool HostileRtuDevice::wait_unread(int count, double timeout_s) const {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        int waiting = 0;
        if (ioctl(slave_, FIONREAD, &waiting) == 0 && waiting >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void HostileRtuDevice::serve() {
    // A read-holding-registers request is eight bytes: unit, function, start, count, CRC.
    Bytes pending;
    uint8_t chunk[256];
    while (readable(master_, stopping_)) {
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            // No link has the line open: wait for one.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + n);
        while (pending.size() >= 8) {
            const Bytes request(pending.begin(), pending.begin() + 8);
            pending.erase(pending.begin(), pending.begin() + 8);
            const Answer answer = script_(request, ++requests_);
            std::lock_guard<std::mutex> lock(write_lock_);
            answer_on(master_, answer);
            ++answered_;
        }
    }
}

}  // namespace testing_support
