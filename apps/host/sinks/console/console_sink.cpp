#include "apps/host/sinks/console/console_sink.h"

#include "apps/host/round/round_text.h"

namespace kavren::host {

namespace {
constexpr std::size_t kConsoleQueueLines = 4096;
// The least time finish() gives the last lines to go out.
constexpr auto kLeastFinish = std::chrono::milliseconds(100);
}  // namespace

ConsoleSink::ConsoleSink(int fd, bool json, Log log, std::function<void()> reader_gone)
    : json_(json),
      log_(std::move(log)),
      reader_gone_(std::move(reader_gone)),
      out_(fd, kConsoleQueueLines,
           LineOutput::Events{[this](uint64_t dropped) {
                                  log_("standard output was not read: " + std::to_string(dropped) +
                                       " round lines were dropped (the rounds are in the history)");
                              },
                              [this](LineOutput::State state, const std::string& reason) {
                                  if (state == LineOutput::State::closed) {
                                      if (reader_gone_) reader_gone_();
                                  } else {
                                      log_("cannot write to standard output: " + reason);
                                  }
                              }}) {}

void ConsoleSink::take(const StoredBatch& batch) {
    for (const auto& round : batch) {
        out_.write_line(json_ ? round_json_line(*round) : round_readable_text(*round));
    }
}

void ConsoleSink::finish(std::chrono::steady_clock::time_point deadline) {
    out_.finish(std::max(deadline, std::chrono::steady_clock::now() + kLeastFinish));
}

std::string ConsoleSink::summary() const {
    if (out_.dropped() == 0 || out_.state() == LineOutput::State::closed) return {};
    return std::to_string(out_.dropped()) + " round lines were not " +
           (failed() ? "written: standard output failed" : "shown: standard output was not read");
}

std::unique_ptr<RoundSink> make_console_sink(const SinkContext& context) {
    return std::make_unique<ConsoleSink>(context.output_fd, context.config.json, context.log,
                                         context.stop);
}

}  // namespace kavren::host
