#include "apps/host/sinks/console/console_sink.h"

#include "apps/host/round/round_text.h"

namespace kavren::host {

namespace {
constexpr std::size_t kConsoleQueueLines = 4096;
}

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

}  // namespace kavren::host
