#include "apps/host/gateway/gateway_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace kavren::host {

namespace {

using std::chrono::milliseconds;

// Room for a whole request and the start of the next one a client sends meanwhile; past it the
// connection is not read until the request ahead is answered.
constexpr std::size_t kInRoom = 2 * (kMbapHeaderSize + kMbapMaxPdu);
// How long the listener rests when the process is out of descriptors.
constexpr milliseconds kAcceptPause{100};
constexpr int kBacklog = 128;  // a burst of clients waits here to be accepted or refused

[[noreturn]] void cannot_listen(const std::string& address, const std::string& why) {
    throw std::runtime_error("gateway: cannot listen on " + address + ": " + why);
}

// A non-blocking socket listening on HOST:PORT (an IPv6 host in brackets); `port` as bound.
int listen_socket(const std::string& address, int& port) {
    const auto colon = address.rfind(':');
    std::string host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int looked_up = getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &found);
    if (looked_up != 0) cannot_listen(address, gai_strerror(looked_up));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
    const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, kBacklog) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        cannot_listen(address, error == EADDRINUSE ? "port in use" : std::strerror(error));
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

}  // namespace

GatewayServer::GatewayServer(const std::string& address, GatewayLimits limits, GatewayRules rules,
                             LinkShare& share, GatewayCounters& counters)
    : limits_(limits), rules_(std::move(rules)), share_(share), counters_(counters) {
    listener_ = listen_socket(address, port_);
    address_ = address.substr(0, address.rfind(':') + 1) + std::to_string(port_);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        ::close(listener_);
        cannot_listen(address, std::strerror(errno));
    }
    share_.forwards.on_done([this] { wake(); });
}

GatewayServer::~GatewayServer() {
    stop();
    share_.forwards.on_done(nullptr);
    ::close(listener_);
    ::close(wake_fd_);
}

void GatewayServer::start() {
    thread_ = std::thread([this] { run(); });
}

void GatewayServer::stop() {
    stopping_.store(true);
    wake();
    if (thread_.joinable()) thread_.join();
    for (Client& client : clients_) close_client(client);
    clients_.clear();
}

void GatewayServer::wake() {
    const uint64_t one = 1;
    // A full counter already wakes the thread: nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void GatewayServer::run() {
    std::vector<pollfd> fds;
    while (!stopping_.load()) {
        const auto now = Clock::now();
        fds.clear();
        fds.push_back({wake_fd_, POLLIN, 0});
        fds.push_back(
            {listener_, static_cast<short>(now < listener_paused_until_ ? 0 : POLLIN), 0});
        for (const Client& c : clients_) {
            short events = c.in.size() < kInRoom && !c.sent_all ? POLLIN : 0;
            if (!c.out.empty()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        if (::poll(fds.data(), fds.size(), poll_timeout_ms(now)) < 0 && errno != EINTR) {
            // Nothing to do but try again: a failed poll says nothing about one client.
            std::this_thread::sleep_for(milliseconds(10));
            continue;
        }
        const auto after = Clock::now();
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
        }
        deliver_done(after);
        // Clients accepted below come after the ones polled: their places stay as polled.
        for (std::size_t i = 0; i + 2 < fds.size(); ++i)
            if (fds[i + 2].revents != 0 && !clients_[i].gone)
                on_ready(clients_[i], fds[i + 2].revents, after);
        if (fds[1].revents & POLLIN) accept_clients(after);
        check_timers(after);
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [](const Client& c) { return c.gone; }),
                       clients_.end());
    }
    // What the link carried before it ended is answered before the connections close: a client
    // whose write was made learns so.
    deliver_done(Clock::now());
}

int GatewayServer::poll_timeout_ms(Clock::time_point now) const {
    Clock::time_point next = now + milliseconds(1000);
    if (now < listener_paused_until_) next = std::min(next, listener_paused_until_);
    for (const Client& c : clients_) {
        if (c.waiting) continue;
        if (!c.out.empty()) next = std::min(next, c.sending_since + limits_.request_timeout);
        if (c.begun) next = std::min(next, c.began + limits_.request_timeout);
        if (c.in.empty() && c.out.empty()) next = std::min(next, c.heard + limits_.idle_timeout);
    }
    const auto left = std::chrono::duration_cast<milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(left, 0)) + 1;
}

void GatewayServer::accept_clients(Clock::time_point now) {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                listener_paused_until_ = now + kAcceptPause;
            return;  // none waits (EAGAIN), or the next poll tells
        }
        const auto connected = std::count_if(clients_.begin(), clients_.end(),
                                             [](const Client& c) { return !c.gone; });
        if (connected >= limits_.max_clients) {
            ::close(fd);
            counters_.count(GatewayOutcome::too_many_clients);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // replies go out whole, at once
        Client client;
        client.fd = fd;
        client.ticket = ++next_ticket_;
        client.heard = now;
        clients_.push_back(std::move(client));
    }
}

void GatewayServer::on_ready(Client& client, short revents, Clock::time_point now) {
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        close_client(client);  // gone both ways: no reply can reach it
        return;
    }
    if (revents & POLLIN) receive(client, now);
    if (!client.gone && (revents & POLLOUT)) send_out(client, now);
    if (!client.gone) serve(client, now);
    close_if_answered(client);
}

void GatewayServer::close_if_answered(Client& client) {
    // What is left in `in` is no whole request: nothing more will complete it.
    if (client.sent_all && !client.gone && !client.waiting && client.out.empty())
        close_client(client);
}

void GatewayServer::receive(Client& client, Clock::time_point now) {
    while (client.in.size() < kInRoom) {
        uint8_t buffer[kInRoom];
        const ssize_t n = ::recv(client.fd, buffer, kInRoom - client.in.size(), 0);
        if (n > 0) {
            client.in.insert(client.in.end(), buffer, buffer + n);
            client.heard = now;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n == 0) {
            // The client sent all it will (a FIN: shutdown(SHUT_WR) or close()); the requests
            // before it are answered all the same.
            client.sent_all = true;
            return;
        }
        close_client(client);  // its connection failed
        return;
    }
}

void GatewayServer::serve(Client& client, Clock::time_point now) {
    while (!client.gone && !client.waiting && client.out.empty()) {
        const MbapRequest request = find_mbap_request(client.in.data(), client.in.size());
        if (request.state == MbapRequest::State::malformed) {
            cut(client, GatewayOutcome::malformed);
            return;
        }
        if (request.state == MbapRequest::State::more) {
            if (!client.in.empty() && !client.begun) {
                client.begun = true;
                client.began = now;
            }
            return;
        }
        client.begun = false;
        take_request(client, request, now);
    }
}

void GatewayServer::take_request(Client& client, const MbapRequest& request,
                                 Clock::time_point now) {
    const auto adu = client.in.begin();
    Bytes pdu(adu + kMbapHeaderSize, adu + static_cast<std::ptrdiff_t>(request.size));
    client.in.erase(adu, adu + static_cast<std::ptrdiff_t>(request.size));
    Handling handling = handle_request(rules_, share_.rounds, request.header.unit, pdu, now);
    if (handling.forward) {
        auto forwarded = std::make_unique<ForwardedRequest>();
        forwarded->ticket = client.ticket;
        forwarded->unit = request.header.unit;
        forwarded->pdu = pdu;
        const ForwardQueue::Offer offer = share_.forwards.offer(std::move(forwarded));
        if (offer == ForwardQueue::Offer::queued) {
            client.waiting = true;
            client.pending = request.header;
            return;
        }
        const bool busy = offer == ForwardQueue::Offer::full;
        handling.reply = exception_reply(pdu[0], busy ? kServerBusy : kGatewayPathUnavailable);
        handling.outcome = busy ? GatewayOutcome::busy : GatewayOutcome::no_reply;
    }
    reply(client, request.header, handling, now);
}

void GatewayServer::reply(Client& client, const MbapHeader& header, const Handling& handling,
                          Clock::time_point now) {
    counters_.count(handling.outcome);
    client.out =
        mbap_adu(header.transaction, header.unit, handling.reply.data(), handling.reply.size());
    client.sending_since = now;
    send_out(client, now);
}

void GatewayServer::send_out(Client& client, Clock::time_point now) {
    while (!client.out.empty()) {
        const ssize_t n =
            ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            client.out.erase(client.out.begin(), client.out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        close_client(client);
        return;
    }
    client.heard = now;
}

void GatewayServer::deliver_done(Clock::time_point now) {
    for (const std::unique_ptr<ForwardedRequest>& done : share_.forwards.take_done()) {
        const Handling handling = forwarded_reply(*done);
        const auto owner = std::find_if(clients_.begin(), clients_.end(), [&](const Client& c) {
            return c.ticket == done->ticket && c.waiting && !c.gone;
        });
        if (owner == clients_.end()) {
            counters_.count(handling.outcome);  // its client went meanwhile
            continue;
        }
        owner->waiting = false;
        reply(*owner, owner->pending, handling, now);
        if (!owner->gone) serve(*owner, now);  // a request it sent meanwhile
        close_if_answered(*owner);
    }
}

void GatewayServer::check_timers(Clock::time_point now) {
    for (Client& c : clients_) {
        if (c.gone || c.waiting) continue;
        if ((!c.out.empty() && now - c.sending_since >= limits_.request_timeout) ||
            (c.begun && now - c.began >= limits_.request_timeout)) {
            cut(c, GatewayOutcome::timed_out);
        } else if (c.in.empty() && c.out.empty() && now - c.heard >= limits_.idle_timeout) {
            cut(c, GatewayOutcome::idle);
        }
    }
}

void GatewayServer::cut(Client& client, GatewayOutcome outcome) {
    counters_.count(outcome);
    close_client(client);
}

void GatewayServer::close_client(Client& client) {
    if (client.gone) return;
    if (client.waiting) share_.forwards.withdraw(client.ticket);
    ::close(client.fd);
    client.gone = true;
    client.waiting = false;
}

}  // namespace kavren::host
