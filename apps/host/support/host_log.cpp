#include "apps/host/support/host_log.h"

#include "apps/common/program.h"

namespace kavren::host {

namespace {
constexpr std::size_t kLogQueueLines = 4096;
}

HostLog::HostLog(int fd)
    : out_(fd, kLogQueueLines,
           LineOutput::Events{[this](uint64_t dropped) {
                                  out_.write_line(app::local_time_text("%H:%M:%S") + " " +
                                                  std::to_string(dropped) +
                                                  " log lines were dropped while standard error "
                                                  "was not read");
                              },
                              {}}) {}

void HostLog::operator()(const std::string& line) {
    std::string text = app::local_time_text("%H:%M:%S");
    text += ' ';
    // One event, one line: a control character in a name or a plug-in line cannot start a
    // line of its own.
    for (char c : line) text += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    out_.write_line(std::move(text));
}

}  // namespace kavren::host
