#include "apps/host/link/modbus_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "apps/common/stop_signal.h"

namespace kavren::host {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kReadHolding = 0x03;
constexpr uint8_t kExceptionFlag = 0x80;
// No wait inside an exchange lasts longer than this without looking at the stop flag.
constexpr milliseconds kStopSlice{50};

// CRC-16/Modbus (reflected polynomial 0xA001, initial value 0xFFFF); sent low byte first.
uint16_t crc16(const uint8_t* bytes, std::size_t size) {
    uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

uint16_t big_endian_at(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

void put_big_endian(uint8_t* into, int value) {
    into[0] = static_cast<uint8_t>(value >> 8);
    into[1] = static_cast<uint8_t>(value);
}

std::string hex_byte(int value) {
    static const char digits[] = "0123456789abcdef";
    return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

const char* exception_meaning(int code) {
    switch (code) {
        case 1:
            return "illegal function";
        case 2:
            return "illegal data address";
        case 3:
            return "illegal data value";
        case 4:
            return "server device failure";
        case 5:
            return "acknowledge";
        case 6:
            return "server device busy";
        case 8:
            return "memory parity error";
        case 10:
            return "gateway path unavailable";
        case 11:
            return "gateway target device failed to respond";
        default:
            return "unknown code";
    }
}

bool set_non_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

ModbusLink::ModbusLink(const LinkConfig& config, int driver_baud)
    : config_(config), baud_(config.baud > 0 ? config.baud : driver_baud) {}

ModbusLink::~ModbusLink() { close(); }

void ModbusLink::close() {
    if (serial_ != nullptr) {
        modbus_close(serial_);
        modbus_free(serial_);
        serial_ = nullptr;
    } else if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    resync_pending_ = false;
}

bool ModbusLink::open(std::string& why) {
    if (fd_ >= 0) return true;
    return config_.kind == LinkConfig::Kind::rtu ? open_rtu(why) : open_tcp(why);
}

bool ModbusLink::open_rtu(std::string& why) {
    // libmodbus opens the device without waiting for a carrier and sets speed, parity and stop
    // bits; the exchanges themselves are ours, so that they can be bounded as a whole.
    serial_ = modbus_new_rtu(config_.device.c_str(), baud_, config_.parity, config_.data_bits,
                             config_.stop_bits);
    if (serial_ == nullptr) {
        why = "cannot use " + config_.describe() + ": " + modbus_strerror(errno);
        return false;
    }
    if (modbus_connect(serial_) != 0) {
        why = "cannot open " + config_.describe() + ": " + modbus_strerror(errno);
        modbus_free(serial_);
        serial_ = nullptr;
        return false;
    }
    fd_ = modbus_get_socket(serial_);
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        why = config_.device + " is in use by another program";
        close();
        return false;
    }
    if (!set_non_blocking(fd_)) {
        why = "cannot use " + config_.describe() + ": " + std::strerror(errno);
        close();
        return false;
    }
    // One byte at least per read: a read that finds nothing then says EAGAIN, and 0 means the
    // device hung up, as on a socket.
    termios line{};
    if (tcgetattr(fd_, &line) == 0) {
        line.c_cc[VMIN] = 1;
        line.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &line);
    }
    tcflush(fd_, TCIOFLUSH);
    return true;
}

namespace {

// A host name looked up on a thread of its own, so that a slow name server holds the link no
// longer than its time-out, nor past a stop. A lookup given up on ends by itself later.
struct NameLookup {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    int status = 0;
    addrinfo* found = nullptr;
    ~NameLookup() {
        if (found != nullptr) freeaddrinfo(found);
    }
};

}  // namespace

bool ModbusLink::open_tcp(std::string& why) {
    const std::string where = "cannot connect to " + config_.describe() + ": ";
    const Deadline deadline = Clock::now() + milliseconds(config_.timeout_ms);
    auto lookup = std::make_shared<NameLookup>();
    try {
        std::thread([lookup, host = config_.tcp.host, port = config_.tcp.port] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* found = nullptr;
            const int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
            std::lock_guard<std::mutex> hold(lookup->lock);
            lookup->status = status;
            lookup->found = found;
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        why = where + "cannot look the host name up: " + e.what();
        return false;
    }
    std::unique_lock<std::mutex> hold(lookup->lock);
    while (!lookup->done) {
        if (app::stop_requested()) {
            why = where + "stopped while looking the host name up";
            return false;
        }
        if (Clock::now() >= deadline) {
            why = where + "host name " + config_.tcp.host + " not resolved within " +
                  std::to_string(config_.timeout_ms) + " ms";
            return false;
        }
        lookup->finished.wait_for(hold, kStopSlice);
    }
    const int looked_up = lookup->status;
    if (looked_up != 0) {
        if (looked_up == EAI_NONAME || looked_up == EAI_AGAIN || looked_up == EAI_FAIL ||
            looked_up == EAI_NODATA) {
            why = where + "host name " + config_.tcp.host + " does not resolve (" +
                  gai_strerror(looked_up) + ")";
        } else {
            why = where + gai_strerror(looked_up);
        }
        return false;
    }
    addrinfo* found = lookup->found;
    std::string failure = "no address";
    for (addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        fd_ = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0) {
            failure = std::strerror(errno);
            continue;
        }
        int error = 0;
        if (connect(fd_, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                const Wait waited = wait_for(POLLOUT, deadline);
                socklen_t size = sizeof error;
                if (waited == Wait::ready) {
                    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
                } else if (waited == Wait::timed_out) {
                    error = ETIMEDOUT;
                } else if (waited == Wait::stopped) {
                    error = ECANCELED;
                } else {
                    error = errno;
                }
            }
        }
        if (error != 0) {
            failure = error == ETIMEDOUT
                          ? "no connection within " + std::to_string(config_.timeout_ms) + " ms"
                          : std::string(std::strerror(error));
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (fd_ < 0) {
        why = where + failure;
        return false;
    }
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

ModbusLink::Wait ModbusLink::wait_for(short events, Deadline deadline) {
    for (;;) {
        if (app::stop_requested()) return Wait::stopped;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return Wait::timed_out;
        pollfd ready{fd_, events, 0};
        const int n = poll(&ready, 1, static_cast<int>(std::min(left, kStopSlice).count()) + 1);
        if (n > 0) return Wait::ready;  // readable, writable, or failed: the next call tells
        if (n < 0 && errno != EINTR) return Wait::failed;
    }
}

bool ModbusLink::drain_noise() {
    uint8_t scrap[256];
    for (;;) {
        const ssize_t n = read(fd_, scrap, sizeof scrap);
        if (n > 0) {
            noise_bytes_ += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n < 0 && errno == EINTR) continue;
        // End of stream or a failed device.
        last_error_ = config_.describe() + (n == 0 ? std::string(": closed by the other end")
                                                   : std::string(": ") + std::strerror(errno));
        return false;
    }
}

ModbusLink::Wait ModbusLink::wait_for_quiet_line() {
    // A meter that answered late, or a damaged frame, may still be sending: the line must stay
    // quiet for one time-out before the next request, so that no stale reply is taken for the
    // next request's. A line that never goes quiet is given up on after two time-outs.
    const milliseconds quiet(config_.timeout_ms);
    const Deadline give_up = Clock::now() + 2 * quiet;
    uint8_t scrap[256];
    for (;;) {
        const Deadline quiet_at = std::min(last_activity_ + quiet, give_up);
        if (Clock::now() >= quiet_at) break;
        const Wait waited = wait_for(POLLIN, quiet_at);
        if (waited == Wait::stopped || waited == Wait::failed) return waited;
        if (waited == Wait::timed_out) continue;
        const ssize_t n = read(fd_, scrap, sizeof scrap);
        if (n > 0) {
            last_activity_ = Clock::now();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            last_error_ = config_.describe() + (n == 0 ? std::string(": hung up")
                                                       : std::string(": ") + std::strerror(errno));
            return Wait::failed;
        }
    }
    tcflush(fd_, TCIFLUSH);
    resync_pending_ = false;
    return Wait::ready;
}

bool ModbusLink::send_all(const uint8_t* bytes, std::size_t size, Deadline deadline,
                          ReadOutcome& outcome) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = config_.kind == LinkConfig::Kind::tcp
                              ? ::send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL)
                              : ::write(fd_, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Wait waited = wait_for(POLLOUT, deadline);
            if (waited == Wait::ready) continue;
            outcome = waited_out(waited, "sending the request");
            return false;
        }
        outcome = fail(ReadOutcome::connection_lost,
                       std::string("cannot send the request: ") + std::strerror(errno));
        return false;
    }
    return true;
}

bool ModbusLink::receive(uint8_t* into, std::size_t size, Deadline deadline, ReadOutcome& outcome,
                         std::size_t up_to, std::size_t* got_out) {
    const std::size_t most = std::max(size, up_to);
    std::size_t got = 0;
    bool wait_first = true;
    while (got < size) {
        if (wait_first) {
            const Wait waited = wait_for(POLLIN, deadline);
            if (waited != Wait::ready) {
                outcome = waited_out(waited, "waiting for the reply");
                return false;
            }
        }
        const ssize_t n = ::read(fd_, into + got, most - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            received_ += static_cast<std::size_t>(n);
            last_activity_ = Clock::now();
            wait_first = false;  // the rest of a reply is usually there already
            continue;
        }
        if (n == 0) {
            outcome = fail(ReadOutcome::connection_lost, "the connection was closed by the meter");
            return false;
        }
        if (errno == EINTR) {
            wait_first = false;
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            outcome = fail(ReadOutcome::connection_lost,
                           std::string("cannot read the reply: ") + std::strerror(errno));
            return false;
        }
        wait_first = true;
    }
    if (got_out != nullptr) *got_out = got;
    return true;
}

ReadOutcome ModbusLink::waited_out(Wait waited, const char* doing) {
    if (waited == Wait::stopped)
        return fail(ReadOutcome::timeout, std::string("stopped while ") + doing);
    if (waited == Wait::failed)
        return fail(ReadOutcome::connection_lost,
                    std::string("failed while ") + doing + ": " + std::strerror(errno));
    const std::string limit = std::to_string(config_.timeout_ms) + " ms";
    if (received_ == 0) return fail(ReadOutcome::timeout, "no reply within " + limit);
    return fail(ReadOutcome::timeout,
                "reply incomplete after " + limit + " (" + std::to_string(received_) + " bytes)");
}

ReadOutcome ModbusLink::fail(ReadOutcome outcome, const std::string& why) {
    last_error_ = why;
    return outcome;
}

ReadOutcome ModbusLink::read_registers(int unit, int start, int count, uint16_t* words) {
    last_exception_ = -1;
    received_ = 0;
    if (count < 1 || count > 125 || start < 0 || start + count > 65536 || unit < 0 || unit > 255)
        return fail(ReadOutcome::bad_reply, "no such request: " + std::to_string(count) +
                                                " registers from " + std::to_string(start));
    if (!open(last_error_)) return ReadOutcome::connection_lost;
    if (config_.kind == LinkConfig::Kind::rtu && resync_pending_) {
        const Wait waited = wait_for_quiet_line();
        if (waited == Wait::stopped) return fail(ReadOutcome::timeout, "stopped");
        if (waited == Wait::failed) {
            close();
            return ReadOutcome::connection_lost;
        }
    }
    if (!drain_noise()) {
        // A serial device that failed is lost; an idle TCP connection the other end dropped is
        // opened again at once.
        close();
        if (config_.kind == LinkConfig::Kind::rtu || !open(last_error_))
            return ReadOutcome::connection_lost;
    }
    const Deadline deadline = Clock::now() + milliseconds(config_.timeout_ms);
    const ReadOutcome outcome = config_.kind == LinkConfig::Kind::rtu
                                    ? exchange_rtu(unit, start, count, words, deadline)
                                    : exchange_tcp(unit, start, count, words, deadline);
    if (outcome == ReadOutcome::ok || outcome == ReadOutcome::exception) return outcome;
    if (outcome == ReadOutcome::connection_lost || config_.kind == LinkConfig::Kind::tcp) {
        // A TCP stream after a failed exchange may still hold a late reply: start afresh.
        close();
    } else {
        resync_pending_ = true;
        last_activity_ = Clock::now();
    }
    return outcome;
}

ReadOutcome ModbusLink::exchange_rtu(int unit, int start, int count, uint16_t* words,
                                     Deadline deadline) {
    uint8_t request[8] = {static_cast<uint8_t>(unit), kReadHolding};
    put_big_endian(request + 2, start);
    put_big_endian(request + 4, count);
    const uint16_t request_crc = crc16(request, 6);
    request[6] = static_cast<uint8_t>(request_crc);
    request[7] = static_cast<uint8_t>(request_crc >> 8);
    ReadOutcome outcome = ReadOutcome::ok;
    if (!send_all(request, sizeof request, deadline, outcome)) return outcome;

    // unit, function, then either an exception code or a byte count and the data; CRC last.
    uint8_t reply[3 + 250 + 2];
    if (!receive(reply, 3, deadline, outcome)) return outcome;
    const int function = reply[1];
    std::size_t size = 5;
    if (function == kReadHolding) {
        if (reply[2] != 2 * count)
            return fail(ReadOutcome::bad_reply, "byte count " + std::to_string(reply[2]) +
                                                    " in a reply for " + std::to_string(count) +
                                                    " registers");
        size = 3 + static_cast<std::size_t>(reply[2]) + 2;
    } else if (!(function & kExceptionFlag)) {
        return fail(ReadOutcome::bad_reply, "function " + hex_byte(function) +
                                                " in the reply to function " +
                                                hex_byte(kReadHolding));
    }
    if (!receive(reply + 3, size - 3, deadline, outcome)) return outcome;
    const uint16_t crc = crc16(reply, size - 2);
    if (reply[size - 2] != static_cast<uint8_t>(crc) ||
        reply[size - 1] != static_cast<uint8_t>(crc >> 8))
        return fail(ReadOutcome::crc_error, "the reply's CRC does not match");
    if (reply[0] != unit)
        return fail(ReadOutcome::bad_reply, "a reply from unit " + std::to_string(reply[0]) +
                                                " to a request for unit " + std::to_string(unit));
    if (function & kExceptionFlag) {
        if (function != (kReadHolding | kExceptionFlag))
            return fail(ReadOutcome::bad_reply,
                        "an exception for function " + hex_byte(function & 0x7F));
        last_exception_ = reply[2];
        return fail(ReadOutcome::exception, "exception " + std::to_string(reply[2]) + " (" +
                                                exception_meaning(reply[2]) + ")");
    }
    for (int i = 0; i < count; ++i) words[i] = big_endian_at(reply + 3 + 2 * i);
    return ReadOutcome::ok;
}

ReadOutcome ModbusLink::exchange_tcp(int unit, int start, int count, uint16_t* words,
                                     Deadline deadline) {
    // MBAP header: transaction id, protocol id 0, length of what follows, unit id.
    ++transaction_;
    uint8_t request[12] = {};
    put_big_endian(request, transaction_);
    put_big_endian(request + 4, 6);
    request[6] = static_cast<uint8_t>(unit);
    request[7] = kReadHolding;
    put_big_endian(request + 8, start);
    put_big_endian(request + 10, count);
    ReadOutcome outcome = ReadOutcome::ok;
    if (!send_all(request, sizeof request, deadline, outcome)) return outcome;

    uint8_t reply[7 + 254];
    // The header and, in the same read where it has come, the rest of the reply this request
    // asks for: never more, so that whatever follows is still on the connection.
    std::size_t got = 0;
    if (!receive(reply, 7, deadline, outcome, 9 + 2 * static_cast<std::size_t>(count), &got))
        return outcome;
    const int length = big_endian_at(reply + 4);  // unit id and PDU
    if (length < 3 || length > 254)
        return fail(ReadOutcome::bad_reply, "a reply of length " + std::to_string(length));
    const std::size_t total = 6 + static_cast<std::size_t>(length);
    if (got > total) noise_bytes_ += got - total;  // stray bytes after a shorter reply
    if (got < total && !receive(reply + got, total - got, deadline, outcome)) return outcome;
    const int transaction = big_endian_at(reply);
    if (transaction != transaction_)
        return fail(ReadOutcome::bad_reply,
                    "a reply to transaction " + std::to_string(transaction) + ", not " +
                        std::to_string(transaction_) + " (a stale or foreign reply)");
    if (big_endian_at(reply + 2) != 0)
        return fail(ReadOutcome::bad_reply,
                    "a reply with protocol id " + std::to_string(big_endian_at(reply + 2)));
    if (reply[6] != unit)
        return fail(ReadOutcome::bad_reply, "a reply from unit " + std::to_string(reply[6]) +
                                                " to a request for unit " + std::to_string(unit));
    const int function = reply[7];
    if (function == (kReadHolding | kExceptionFlag) && length == 3) {
        last_exception_ = reply[8];
        return fail(ReadOutcome::exception, "exception " + std::to_string(reply[8]) + " (" +
                                                exception_meaning(reply[8]) + ")");
    }
    if (function != kReadHolding)
        return fail(ReadOutcome::bad_reply, "function " + hex_byte(function) +
                                                " in the reply to function " +
                                                hex_byte(kReadHolding));
    if (reply[8] != 2 * count || length != 3 + 2 * count)
        return fail(ReadOutcome::bad_reply, "byte count " + std::to_string(reply[8]) +
                                                " in a reply for " + std::to_string(count) +
                                                " registers");
    for (int i = 0; i < count; ++i) words[i] = big_endian_at(reply + 9 + 2 * i);
    return ReadOutcome::ok;
}

std::unique_ptr<RegisterLink> make_modbus_link(const LinkConfig& config, int driver_baud) {
    return std::make_unique<ModbusLink>(config, driver_baud);
}

}  // namespace kavren::host
