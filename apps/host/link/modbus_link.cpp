#include "apps/host/link/modbus_link.h"

#include <algorithm>
#include <cstring>

#include "apps/host/link/mbap_framing.h"
#include "apps/host/link/rtu_framing.h"
#include "apps/host/link/serial_transport.h"
#include "apps/host/link/tcp_transport.h"

namespace kavren::host {

namespace {

// Room for the longest ADU and the noise before it.
constexpr std::size_t kReceiveRoom = 512;

std::unique_ptr<Transport> transport_for(const LinkConfig& config, int baud) {
    if (config.kind == LinkConfig::Kind::rtu)
        return std::make_unique<SerialTransport>(config, baud);
    return std::make_unique<TcpTransport>(config.tcp, config.timeout_ms);
}

std::unique_ptr<Framing> framing_for(const LinkConfig& config) {
    if (config.kind == LinkConfig::Kind::tcp) return std::make_unique<MbapFraming>();
    return std::make_unique<RtuFraming>();
}

}  // namespace

ModbusLink::ModbusLink(const LinkConfig& config, int driver_baud)
    : ModbusLink(transport_for(config, config.baud > 0 ? config.baud : driver_baud),
                 framing_for(config), config.timeout_ms) {}

ModbusLink::ModbusLink(std::unique_ptr<Transport> transport, std::unique_ptr<Framing> framing,
                       int timeout_ms)
    : transport_(std::move(transport)), framing_(std::move(framing)), timeout_ms_(timeout_ms) {}

ModbusLink::~ModbusLink() { close(); }

void ModbusLink::close() {
    transport_->close();
    resync_pending_ = false;
    answered_on_connection_ = false;
}

ReadOutcome ModbusLink::fail(ReadOutcome outcome, const std::string& why) {
    last_error_ = why;
    return outcome;
}

asio::awaitable<ReadOutcome> ModbusLink::read_registers(int unit, int start, int count,
                                                        uint16_t* words) {
    last_exception_ = -1;
    if (count < 1 || count > 125 || start < 0 || start + count > 65536 || unit < 0 || unit > 255)
        co_return fail(ReadOutcome::bad_reply, "no such request: " + std::to_string(count) +
                                                   " registers from " + std::to_string(start));
    Bytes reply;
    const ReadOutcome outcome =
        co_await exchange(unit, read_registers_request(start, count), reply);
    if (outcome != ReadOutcome::ok) co_return outcome;
    if (reply[0] & kExceptionFlag) {
        last_exception_ = reply[1];
        co_return fail(ReadOutcome::exception, "exception " + std::to_string(reply[1]) + " (" +
                                                   exception_meaning(reply[1]) + ")");
    }
    for (int i = 0; i < count; ++i) words[i] = big_endian_at(reply.data() + 2 + 2 * i);
    co_return ReadOutcome::ok;
}

asio::awaitable<ReadOutcome> ModbusLink::exchange(int unit, const Bytes& request, Bytes& reply) {
    const bool answered_before = answered_on_connection_;
    const ReadOutcome outcome = co_await exchange_once(unit, request, reply);
    // A serial server in "short connection" mode closes each connection a moment after its
    // reply; a request that went out before that close is reset with it, unread. Sent again on
    // a new connection. A read only: a write is never made twice. A server that hangs up
    // without a reset, or after part of a reply, has read the request: that stays a failure.
    const bool read = !request.empty() && request[0] >= 1 && request[0] <= 4;
    if (outcome != ReadOutcome::connection_lost || !answered_before || reply_heard_ ||
        !transport_->reset_by_peer() || !read)
        co_return outcome;
    co_return co_await exchange_once(unit, request, reply);
}

asio::awaitable<ReadOutcome> ModbusLink::exchange_once(int unit, const Bytes& request,
                                                       Bytes& reply) {
    reply_heard_ = false;
    ReadOutcome outcome = ReadOutcome::ok;
    const bool ready = co_await ready_for_request(outcome);
    if (!ready) co_return outcome;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
    const Bytes frame = framing_->frame_request(unit, request);
    std::string why;
    const Transport::Io sent =
        co_await transport_->send_all(frame.data(), frame.size(), deadline, why);
    switch (sent) {
        case Transport::Io::done:
            break;
        case Transport::Io::stopped:
            co_return after(fail(ReadOutcome::timeout, "stopped while sending the request"));
        case Transport::Io::timed_out:
            co_return after(out_of_time(ReplyScan{}));
        case Transport::Io::wait_failed:
            co_return after(
                fail(ReadOutcome::connection_lost, "failed while sending the request: " + why));
        case Transport::Io::lost:
            co_return after(fail(ReadOutcome::connection_lost, why));
    }
    outcome = co_await await_reply(deadline, reply);
    if (outcome == ReadOutcome::ok) {
        // Framings take replies of the request's function or its exception.
        const bool exception = reply[0] == (request[0] | kExceptionFlag);
        std::string wrong =
            exception ? std::string() : data_mismatch(request, reply.data(), reply.size());
        if (exception && reply.size() != 2) wrong = function_mismatch(reply[0], request[0]);
        if (!wrong.empty()) outcome = fail(ReadOutcome::bad_reply, wrong);
    }
    if (outcome == ReadOutcome::ok) answered_on_connection_ = true;
    co_return after(outcome);
}

asio::awaitable<bool> ModbusLink::ready_for_request(ReadOutcome& outcome) {
    outcome = ReadOutcome::connection_lost;
    const bool open = co_await transport_->open(last_error_);
    if (!open) co_return false;
    if (resync_pending_) {
        std::string why;
        const auto quiet = std::chrono::milliseconds(timeout_ms_);
        const Transport::Wait waited =
            co_await transport_->discard_until_quiet(quiet, last_activity_, why);
        if (waited == Transport::Wait::stopped) {
            outcome = fail(ReadOutcome::timeout, "stopped");
            co_return false;
        }
        resync_pending_ = false;
        if (waited == Transport::Wait::failed) {
            // A connection is opened afresh (the late bytes went with it); a line is lost.
            last_error_ = why;
            close();
            if (!transport_->reopens_at_once()) co_return false;
            const bool reopened = co_await transport_->open(last_error_);
            if (!reopened) co_return false;
        }
    }
    co_return co_await drained(outcome);
}

asio::awaitable<bool> ModbusLink::drained(ReadOutcome& outcome) {
    std::string why;
    if (!transport_->drain(noise_bytes_, why)) {
        // A serial device that failed is lost; an idle TCP connection the other end dropped is
        // opened again at once.
        last_error_ = why;
        close();
        if (!transport_->reopens_at_once()) co_return false;
        const bool reopened = co_await transport_->open(last_error_);
        if (!reopened) co_return false;
    }
    outcome = ReadOutcome::ok;
    co_return true;
}

asio::awaitable<ReadOutcome> ModbusLink::await_reply(Clock::time_point deadline, Bytes& reply) {
    uint8_t buffer[kReceiveRoom];
    std::size_t got = 0;
    for (bool first = true;; first = false) {
        ReplyScan scan = framing_->scan_reply(buffer, got);
        if (scan.state == ReplyScan::State::done) {
            noise_bytes_ += scan.noise;
            if (scan.outcome != ReadOutcome::ok) co_return fail(scan.outcome, scan.detail);
            reply.assign(buffer + scan.pdu_at, buffer + scan.pdu_at + scan.pdu_size);
            co_return ReadOutcome::ok;
        }
        if (got + scan.at_least > sizeof buffer) {
            // A line that babbles: what is noise already goes (or, after a damaged frame, the
            // older half of what came), the rest moves up.
            const std::size_t drop = scan.noise > 0 ? scan.noise : got / 2;
            noise_bytes_ += drop;
            std::memmove(buffer, buffer + drop, got - drop);
            got -= drop;
            continue;
        }
        const std::size_t room = std::min(scan.up_to, sizeof buffer - got);
        std::size_t n = 0;
        std::string why;
        const Transport::Io received =
            co_await transport_->receive_some(buffer + got, room, deadline, !first, n, why);
        switch (received) {
            case Transport::Io::done:
                got += n;
                reply_heard_ = true;
                last_activity_ = Clock::now();
                continue;
            case Transport::Io::timed_out:
                noise_bytes_ += scan.noise;
                co_return out_of_time(scan);
            case Transport::Io::stopped:
                co_return fail(ReadOutcome::timeout, "stopped while waiting for the reply");
            case Transport::Io::wait_failed:
                co_return fail(ReadOutcome::connection_lost,
                               "failed while waiting for the reply: " + why);
            case Transport::Io::lost:
                co_return fail(ReadOutcome::connection_lost, why);
        }
    }
}

ReadOutcome ModbusLink::out_of_time(const ReplyScan& scan) {
    if (scan.if_no_more != ReadOutcome::timeout) return fail(scan.if_no_more, scan.detail);
    const std::string limit = std::to_string(timeout_ms_) + " ms";
    if (scan.partial == 0) return fail(ReadOutcome::timeout, "no reply within " + limit);
    return fail(ReadOutcome::timeout, "reply incomplete after " + limit + " (" +
                                          std::to_string(scan.partial) + " bytes)");
}

ReadOutcome ModbusLink::after(ReadOutcome outcome) {
    if (outcome == ReadOutcome::ok || outcome == ReadOutcome::exception) return outcome;
    if (outcome == ReadOutcome::connection_lost || !framing_->quiet_line_after_failure()) {
        // A TCP stream after a failed exchange may still hold a late reply: start afresh.
        close();
    } else {
        resync_pending_ = true;
        last_activity_ = Clock::now();
    }
    return outcome;
}

std::unique_ptr<RegisterLink> make_modbus_link(const LinkConfig& config, int driver_baud) {
    return std::make_unique<ModbusLink>(config, driver_baud);
}

}  // namespace kavren::host
