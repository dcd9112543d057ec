#pragma once

#include <memory>
#include <string>

#include "apps/host/round/round_sink.h"
#include "apps/host/sinks/http/http_api.h"
#include "apps/host/sinks/http/http_server.h"
#include "apps/host/sinks/http/live_meters.h"
#include "apps/host/sinks/sink_context.h"

namespace kavren::host {

// The page, /metrics and the API as a sink: it keeps the meters' newest rounds (LiveMeters),
// which the server's handlers read, and serves from start() until finish().
class HttpSink final : public RoundSink {
  public:
    // The meters start with the active alarms the history holds.
    explicit HttpSink(const SinkContext& context);
    ~HttpSink() override;

    const char* name() const override { return "http"; }
    // Listens, writes the port file and says where it serves. Throws std::runtime_error.
    void start() override;
    void take(const StoredBatch& batch) override { meters_.take(batch); }
    // Stops serving and removes the port file: no later reader takes an old port for ours.
    void finish(std::chrono::steady_clock::time_point deadline) override;

  private:
    const HostConfig& config_;
    std::function<void(const std::string&)> log_;
    LiveMeters meters_;
    HttpApi api_;
    std::unique_ptr<HttpServer> server_;
    std::string port_file_;  // once written
    std::shared_ptr<PageAddress> page_;
    boost::asio::io_context* loop_;  // the host's, or null: the server runs its own
};

// The HTTP sink when the configuration asks for it.
std::unique_ptr<RoundSink> make_http_sink(const SinkContext& context);

}  // namespace kavren::host
