#include "apps/host/link/tcp_transport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "apps/common/stop_signal.h"

namespace kavren::host {

namespace {

constexpr std::chrono::milliseconds kStopSlice{50};

// A lookup that a link may give up on: it ends by itself later, and whoever is last frees it.
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

std::string lookup_failure(int status, const std::string& host) {
    if (status == EAI_NONAME || status == EAI_AGAIN || status == EAI_FAIL || status == EAI_NODATA)
        return "host name " + host + " does not resolve (" + gai_strerror(status) + ")";
    return gai_strerror(status);
}

}  // namespace

TcpTransport::TcpTransport(const app::TcpAddress& address, int timeout_ms)
    : Transport(address.host + ":" + address.port), address_(address), timeout_ms_(timeout_ms) {}

TcpTransport::~TcpTransport() { close(); }

void TcpTransport::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

long TcpTransport::write_some(const uint8_t* bytes, std::size_t size) {
    return ::send(fd_, bytes, size, MSG_NOSIGNAL);
}

bool TcpTransport::open(std::string& why) {
    if (fd_ >= 0) return true;
    const std::string where = "cannot connect to " + name_ + ": ";
    const Deadline deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    const std::shared_ptr<addrinfo> found = look_up(deadline, why);
    if (!found) {
        why = where + why;
        return false;
    }
    if (!connect_any(found.get(), deadline, why)) {
        why = where + why;
        return false;
    }
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

std::shared_ptr<addrinfo> TcpTransport::look_up(Deadline deadline, std::string& why) {
    auto lookup = std::make_shared<NameLookup>();
    try {
        std::thread([lookup, host = address_.host, port = address_.port] {
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
        why = std::string("cannot look the host name up: ") + e.what();
        return nullptr;
    }
    std::unique_lock<std::mutex> hold(lookup->lock);
    while (!lookup->done) {
        if (app::stop_requested()) {
            why = "stopped while looking the host name up";
            return nullptr;
        }
        if (Clock::now() >= deadline) {
            why = "host name " + address_.host + " not resolved within " +
                  std::to_string(timeout_ms_) + " ms";
            return nullptr;
        }
        lookup->finished.wait_for(hold, kStopSlice);
    }
    if (lookup->status != 0) {
        why = lookup_failure(lookup->status, address_.host);
        return nullptr;
    }
    // The list is freed with the last owner of the lookup: this call, or the thread.
    return std::shared_ptr<addrinfo>(lookup, lookup->found);
}

bool TcpTransport::connect_any(const addrinfo* addresses, Deadline deadline, std::string& why) {
    why = "no address";
    for (const addrinfo* a = addresses; a != nullptr && fd_ < 0; a = a->ai_next) {
        fd_ = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0) {
            why = std::strerror(errno);
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
                } else {
                    error = waited == Wait::timed_out ? ETIMEDOUT
                            : waited == Wait::stopped ? ECANCELED
                                                      : errno;
                }
            }
        }
        if (error != 0) {
            why = error == ETIMEDOUT ? "no connection within " + std::to_string(timeout_ms_) + " ms"
                                     : std::string(std::strerror(error));
            ::close(fd_);
            fd_ = -1;
        }
    }
    return fd_ >= 0;
}

}  // namespace kavren::host
