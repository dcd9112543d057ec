#include "apps/host/gateway/gateway_client.h"

#include <boost/asio/write.hpp>

namespace kavren::host {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

}  // namespace

GatewayClient::GatewayClient(tcp::socket socket, GatewayService& service, uint64_t ticket)
    : socket_(std::move(socket)),
      deadline_(socket_.get_executor()),
      service_(service),
      ticket_(ticket),
      heard_(Clock::now()) {
    boost::system::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);  // replies go out whole, at once
}

void GatewayClient::start() { carry_on(); }

void GatewayClient::read() {
    if (reading_ || gone_ || sent_all_ || in_.size() >= kInRoom) return;
    reading_ = true;
    service_.begun();
    socket_.async_read_some(
        asio::buffer(buffer_.data(), kInRoom - in_.size()),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t size) {
            const OperationDone done(self->service_);
            self->on_read(ec, size);
        });
}

void GatewayClient::on_read(const boost::system::error_code& ec, std::size_t size) {
    reading_ = false;
    if (gone_) return;
    if (ec == asio::error::eof) {
        // The client sent all it will (a FIN: shutdown(SHUT_WR) or close()); the requests
        // before it are answered all the same.
        sent_all_ = true;
        carry_on();
        return;
    }
    if (ec) {
        close();  // its connection failed
        return;
    }
    const auto now = Clock::now();
    in_.insert(in_.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
    heard_ = now;
    serve(now);
    carry_on();
}

void GatewayClient::serve(Clock::time_point now) {
    while (!gone_ && !waiting_ && out_.empty()) {
        const MbapRequest request = find_mbap_request(in_.data(), in_.size());
        if (request.state == MbapRequest::State::malformed) {
            cut(GatewayOutcome::malformed);
            return;
        }
        if (request.state == MbapRequest::State::more) {
            if (!in_.empty() && !begun_) {
                begun_ = true;
                began_ = now;
            }
            return;
        }
        begun_ = false;
        take_request(request, now);
    }
}

void GatewayClient::take_request(const MbapRequest& request, Clock::time_point now) {
    const auto adu = in_.begin();
    Bytes pdu(adu + kMbapHeaderSize, adu + static_cast<std::ptrdiff_t>(request.size));
    in_.erase(adu, adu + static_cast<std::ptrdiff_t>(request.size));
    Handling handling =
        handle_request(service_.rules, service_.share.rounds, request.header.unit, pdu, now);
    if (handling.forward) {
        auto forwarded = std::make_unique<ForwardedRequest>();
        forwarded->ticket = ticket_;
        forwarded->unit = request.header.unit;
        forwarded->pdu = pdu;
        const ForwardQueue::Offer offer = service_.share.forwards.offer(std::move(forwarded));
        if (offer == ForwardQueue::Offer::queued) {
            waiting_ = true;
            pending_ = request.header;
            return;
        }
        const bool busy = offer == ForwardQueue::Offer::full;
        handling.reply = exception_reply(pdu[0], busy ? kServerBusy : kGatewayPathUnavailable);
        handling.outcome = busy ? GatewayOutcome::busy : GatewayOutcome::no_reply;
    }
    reply(request.header, handling, now);
}

void GatewayClient::answer(const ForwardedRequest& done) {
    waiting_ = false;
    reply(pending_, forwarded_reply(done), Clock::now());
    carry_on();
}

void GatewayClient::reply(const MbapHeader& header, const Handling& handling,
                          Clock::time_point now) {
    service_.counters.count(handling.outcome);
    out_ = mbap_adu(header.transaction, header.unit, handling.reply.data(), handling.reply.size());
    sending_since_ = now;
    service_.begun();
    asio::async_write(
        socket_, asio::buffer(out_),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
            const OperationDone done(self->service_);
            self->on_written(ec);
        });
}

void GatewayClient::on_written(const boost::system::error_code& ec) {
    if (gone_) return;
    if (ec) {
        close();
        return;
    }
    out_.clear();
    heard_ = Clock::now();
    serve(heard_);  // a request it sent meanwhile
    carry_on();
}

void GatewayClient::carry_on() {
    if (gone_) return;
    // What is left in `in_` is no whole request: nothing more will complete it.
    if (sent_all_ && !waiting_ && out_.empty()) {
        close();
        return;
    }
    read();
    watch_deadline();
}

bool GatewayClient::due(Clock::time_point& at, GatewayOutcome& why) const {
    if (gone_ || waiting_) return false;
    at = Clock::time_point::max();
    if (!out_.empty()) {
        at = sending_since_ + service_.limits.request_timeout;
        why = GatewayOutcome::timed_out;
    }
    if (begun_ && began_ + service_.limits.request_timeout < at) {
        at = began_ + service_.limits.request_timeout;
        why = GatewayOutcome::timed_out;
    }
    if (in_.empty() && out_.empty()) {
        at = heard_ + service_.limits.idle_timeout;
        why = GatewayOutcome::idle;
    }
    return at != Clock::time_point::max();
}

void GatewayClient::watch_deadline() {
    Clock::time_point at;
    GatewayOutcome why{};
    // A pending wait that ends first looks again when it ends.
    if (!due(at, why) || at >= armed_for_) return;
    armed_for_ = at;
    deadline_.expires_at(at);  // the wait pending before, if any, ends cancelled
    service_.begun();
    deadline_.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        const OperationDone done(self->service_);
        self->on_deadline(ec);
    });
}

void GatewayClient::on_deadline(const boost::system::error_code& ec) {
    if (ec || gone_) return;  // cancelled: a later wait is pending, or the connection ended
    armed_for_ = Clock::time_point::max();
    Clock::time_point at;
    GatewayOutcome why{};
    if (!due(at, why)) return;
    if (Clock::now() >= at) {
        cut(why);
        return;
    }
    watch_deadline();
}

void GatewayClient::cut(GatewayOutcome outcome) {
    service_.counters.count(outcome);
    close();
}

void GatewayClient::close() {
    if (gone_) return;
    const auto keep = shared_from_this();  // the gateway lets go of it below
    gone_ = true;
    if (waiting_) service_.share.forwards.withdraw(ticket_);
    waiting_ = false;
    boost::system::error_code ignored;
    socket_.close(ignored);
    deadline_.cancel();
    service_.closed(ticket_);
}

}  // namespace kavren::host
