#pragma once

#include <functional>
#include <memory>
#include <string>

#include "apps/host/config/link_config.h"
#include "apps/host/gateway/gateway_counters.h"
#include "apps/host/gateway/gateway_server.h"
#include "apps/host/poll/link_share.h"

namespace kavren::host {

// The gateway in front of one link as the pipeline runs it: what it shares with the link's
// thread, its counters, its server (on the host's loop) and its port file.
class LinkGateway {
  public:
    using Log = std::function<void(const std::string&)>;

    // Listens at once, so that a port in use ends the start-up; serves on `loop` once started.
    // Throws std::runtime_error.
    LinkGateway(boost::asio::io_context& loop, const LinkConfig& link, double interval_s, Log log);
    ~LinkGateway();

    // For the link's thread.
    LinkShare& share() { return share_; }
    std::shared_ptr<const GatewayCounters> counters() const { return counters_; }
    // Serves, writes the port file and says where. Throws std::runtime_error.
    void start();
    // Once the link's thread has ended: requests still waiting are answered (exception 10),
    // the server stops and the port file goes, so that no later reader takes an old port. Not
    // from a thread that runs the loop, which must run for this to end.
    void stop();

    LinkGateway(const LinkGateway&) = delete;
    LinkGateway& operator=(const LinkGateway&) = delete;

  private:
    const LinkConfig& link_;
    Log log_;
    LinkShare share_;
    std::shared_ptr<GatewayCounters> counters_;
    GatewayServer server_;
    std::string port_file_;  // once written
};

}  // namespace kavren::host
