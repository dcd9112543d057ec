#include "apps/host/sinks/http/http_session.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>

#include "apps/host/sinks/http/http_reply.h"
#include "apps/host/sinks/http/http_rules.h"

namespace kavren::host {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

// A reply goes out in pieces of this size, each with a deadline of its own.
constexpr std::size_t kReplyPiece = 64 * 1024;
// The system's send buffer of a connection, bounded: a write completes once the client has
// taken about a third of it, so a deadline per piece follows the client's progress closely,
// where an automatically sized buffer (megabytes) would hide a slow client's progress for many
// seconds. Large enough for a fast client on a network with some delay.
constexpr int kSendBuffer = 256 * 1024;

std::string client_of(const tcp::socket& socket) {
    boost::system::error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec) return "an unknown client";
    const std::string address = remote.address().to_string();
    return (remote.address().is_v6() ? "[" + address + "]" : address) + ":" +
           std::to_string(remote.port());
}

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

// A request the parser refused as HTTP (rather than one whose client went away or ran out of
// time): it is answered before the connection ends.
bool malformed(const beast::error_code& ec) {
    return ec.category() == make_error_code(http::error::bad_target).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

}  // namespace

HttpSession::HttpSession(tcp::socket socket, HttpService& service, std::function<void()> ended)
    : service_(service), ended_(std::move(ended)), stream_(std::move(socket)) {
    who_ = client_of(stream_.socket());
    boost::system::error_code ignored;
    stream_.socket().set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
    parser_.header_limit(static_cast<std::uint32_t>(service_.limits.max_request_bytes));
    // Never read: a request with a body is refused unread. (Boost 1.74 takes boost::none, meant
    // as no limit, as a limit below any length.)
    parser_.body_limit(std::numeric_limits<std::uint64_t>::max());
}

HttpSession::~HttpSession() {
    if (ended_) ended_();
}

void HttpSession::start() {
    // One deadline for the line and headers together, not renewed by the bytes that come in.
    stream_.expires_after(std::chrono::milliseconds(service_.limits.request_timeout_ms));
    http::async_read_header(stream_, buffer_, parser_,
                            [self = shared_from_this()](const beast::error_code& ec, std::size_t) {
                                self->on_header(ec);
                            });
}

void HttpSession::cut() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] { self->close(); });
}

void HttpSession::on_header(const beast::error_code& ec) {
    if (closed_) return;
    stream_.expires_never();
    if (ec == http::error::header_limit) {
        unread_input_ = true;
        send(reply_text(
            error_reply(431, "the request line and headers exceed " +
                                 std::to_string(service_.limits.max_request_bytes) + " bytes"),
            "", false));
    } else if (ec && malformed(ec)) {
        unread_input_ = true;
        send(reply_text(error_reply(400, "not a well-formed HTTP request"), "", false));
    } else if (ec) {
        close();
    } else {
        answer();
    }
}

void HttpSession::answer() {
    const auto& request = parser_.get();
    const bool head = request.method() == http::verb::head;
    const std::string accept_encoding(view(request[http::field::accept_encoding]));
    const auto host = request.find(http::field::host);
    const std::string host_name = host == request.end() ? "" : std::string(view(host->value()));
    if (!head && request.method() != http::verb::get) {
        unread_input_ = true;
        send(reply_text(refusal(405), accept_encoding, head));
    } else if (parser_.content_length().value_or(0) > 0 ||
               request.count(http::field::transfer_encoding) > 0) {
        unread_input_ = true;
        send(reply_text(refusal(413), accept_encoding, head));
    } else if (service_.credentials.empty() &&
               !host_header_allowed(host == request.end() ? nullptr : host_name.c_str(),
                                    service_.host_names)) {
        // Without a password, a page of another site whose name was made to resolve here (DNS
        // rebinding) would read everything: only this machine's names and addresses are served.
        send(reply_text(
            error_reply(403, "the Host header names neither this machine nor an IP address"),
            accept_encoding, head));
    } else if (!basic_authorized(view(request[http::field::authorization]), service_.credentials)) {
        HttpResponse r = error_reply(401, "authentication required");
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"kavren-host\"");
        send(reply_text(std::move(r), accept_encoding, head));
    } else {
        const std::string_view target = view(request.target());
        const auto question = target.find('?');
        HttpRequest r;
        r.method = std::string(view(request.method_string()));
        r.path = decode_path(target.substr(0, question));
        if (question != std::string_view::npos) r.query = decode_query(target.substr(question + 1));
        run_handler(std::move(r), accept_encoding, head);
    }
}

void HttpSession::run_handler(HttpRequest request, std::string accept_encoding, bool head) {
    // The loop has work while the handler runs: its answer comes back to the connection.
    auto work = asio::make_work_guard(stream_.get_executor());
    asio::post(*service_.workers,
               [self = shared_from_this(), work = std::move(work), request = std::move(request),
                accept_encoding = std::move(accept_encoding), head]() mutable {
                   std::string text;
                   if (!self->service_.stopping.load()) {
                       HttpResponse response;
                       try {
                           response = self->service_.handler(request);
                       } catch (const std::exception& e) {
                           response = error_reply(500, "internal error");
                           if (self->service_.log)
                               self->service_.log("http: " + request.path + ": " + e.what());
                       }
                       text = reply_text(std::move(response), accept_encoding, head);
                   }
                   const auto executor = self->stream_.get_executor();
                   asio::post(executor, [self = std::move(self), text = std::move(text)]() mutable {
                       self->send(std::move(text));
                   });
               });
}

void HttpSession::send(std::string text) {
    if (closed_) return;
    if (text.empty()) return close();
    reply_ = std::move(text);
    sent_ = 0;
    write_next();
}

void HttpSession::write_next() {
    // A deadline per piece, renewed as the reply goes out: a long reply read slowly is not cut,
    // a client that stops reading is.
    stream_.expires_after(std::chrono::milliseconds(service_.limits.reply_chunk_timeout_ms));
    const std::size_t piece = std::min(kReplyPiece, reply_.size() - sent_);
    asio::async_write(
        stream_, asio::buffer(reply_.data() + sent_, piece),
        [self = shared_from_this()](const beast::error_code& ec, std::size_t written) {
            if (ec == beast::error::timeout && self->service_.log)
                self->service_.log("http: the reply to " + self->who_ +
                                   " cut: the client stopped taking it");
            self->sent_ += written;
            if (ec || self->sent_ == self->reply_.size()) return self->close();
            self->write_next();
        });
}

void HttpSession::close() {
    if (closed_) return;
    closed_ = true;
    // What the client sent and nobody reads (a refused request's body) ends the connection both
    // ways; otherwise the reply is followed by the end of the stream, then the socket closed.
    beast::error_code ignored;
    stream_.socket().shutdown(
        unread_input_ ? tcp::socket::shutdown_both : tcp::socket::shutdown_send, ignored);
    stream_.close();
}

}  // namespace kavren::host
