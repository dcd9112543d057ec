#include "apps/host/gateway/link_gateway.h"

#include <cstdio>

#include "apps/host/config/host_config.h"
#include "apps/host/gateway/gateway_rules.h"
#include "apps/host/support/port_file.h"

namespace kavren::host {

namespace {

GatewayLimits limits_of(const GatewayConfig& g) {
    GatewayLimits limits;
    limits.max_clients = g.max_clients;
    limits.idle_timeout = std::chrono::milliseconds(g.idle_timeout_ms);
    limits.request_timeout = std::chrono::milliseconds(g.request_timeout_ms);
    return limits;
}

}  // namespace

LinkGateway::LinkGateway(boost::asio::io_context& loop, const LinkConfig& link, double interval_s,
                         Log log)
    : link_(link),
      log_(std::move(log)),
      share_(static_cast<std::size_t>(link.gateway.max_queue)),
      counters_(std::make_shared<GatewayCounters>(link.describe())),
      server_(loop, listen_address(link.gateway.listen, "gateway"), limits_of(link.gateway),
              gateway_rules(link, interval_s), share_, *counters_) {}

LinkGateway::~LinkGateway() { stop(); }

void LinkGateway::start() {
    server_.start();
    if (!link_.gateway.port_file.empty()) {
        write_port_file(link_.gateway.port_file, server_.port(), "gateway");
        port_file_ = link_.gateway.port_file;
    }
    log_("gateway: serving " + link_.describe() + " to Modbus TCP clients on " + server_.address() +
         (link_.gateway.writes ? " (writes passed)" : ""));
    if (server_.address().compare(0, 4, "127.") != 0 && server_.address().compare(0, 6, "[::1]:"))
        log_("gateway: warning: reachable beyond this machine; Modbus TCP has no authentication");
}

void LinkGateway::stop() {
    share_.forwards.close();
    server_.stop();
    if (!port_file_.empty()) std::remove(port_file_.c_str());
    port_file_.clear();
}

}  // namespace kavren::host
