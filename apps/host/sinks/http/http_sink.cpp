#include "apps/host/sinks/http/http_sink.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "apps/host/support/port_file.h"

namespace kavren::host {

namespace {

std::vector<MeterIdentity> identities(const SinkContext& context) {
    std::vector<MeterIdentity> meters;
    for (const MeterName& m : context.meters)
        meters.push_back({m.name, m.unit, m.link, context.history.active_alarms(m.name)});
    return meters;
}

HttpLimits limits_of(const HttpConfig& http) {
    HttpLimits limits;
    limits.max_connections = http.max_connections;
    limits.request_timeout_ms = http.request_timeout_ms;
    limits.max_history_rows = static_cast<std::size_t>(http.history_rows);
    return limits;
}

// The page's address for other machines: one that listens on every address is named by the
// machine's name.
std::string page_url(const std::string& address) {
    const auto colon = address.rfind(':');
    std::string host = address.substr(0, colon);
    if (host == "0.0.0.0" || host == "[::]" || host == "::") {
        char machine[256] = {};
        gethostname(machine, sizeof machine - 1);
        host = machine;
    }
    return "http://" + host + address.substr(colon) + "/";
}

}  // namespace

HttpSink::HttpSink(const SinkContext& context)
    : config_(context.config),
      log_(context.log),
      meters_(identities(context)),
      api_(meters_, config_.database, limits_of(config_.http), config_.interval_s, KAVREN_CHART_DIR,
           context.gateways, context.reloads),
      page_(context.page),
      loop_(context.loop) {}

HttpSink::~HttpSink() { finish(std::chrono::steady_clock::now()); }

void HttpSink::start() {
    const HttpConfig& h = config_.http;
    const std::string listen = http_listen_address(h.listen);
    HttpApi* api = &api_;
    auto handler = [api](const HttpRequest& r) { return api->handle(r); };
    server_ = loop_ != nullptr
                  ? std::make_unique<HttpServer>(*loop_, listen, limits_of(h), h.password_file,
                                                 h.host_names, std::move(handler), log_)
                  : std::make_unique<HttpServer>(listen, limits_of(h), h.password_file,
                                                 h.host_names, std::move(handler), log_);
    if (!h.port_file.empty()) {
        write_port_file(h.port_file, server_->port(), "HTTP");
        port_file_ = h.port_file;
    }
    log_("http: serving the page, /metrics and /api on http://" + server_->address() + "/");
    page_->set(h.page_url.empty() ? page_url(server_->address()) : h.page_url);
    if (h.password_file.empty() && listen.compare(0, 4, "127.") != 0 &&
        listen.compare(0, 6, "[::1]:") != 0)
        log_(
            "http: warning: reachable beyond this machine without a password "
            "(--http-password-file)");
}

void HttpSink::finish(std::chrono::steady_clock::time_point) {
    page_->set("");
    server_.reset();
    if (!port_file_.empty()) std::remove(port_file_.c_str());
    port_file_.clear();
}

std::unique_ptr<RoundSink> make_http_sink(const SinkContext& context) {
    if (context.config.http.listen.empty()) return nullptr;
    return std::make_unique<HttpSink>(context);
}

}  // namespace kavren::host
