#include "apps/host/support/line_output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavren::host {

namespace {

// Short enough for a pipe's free space to take a write of it whole once poll() says it can be
// written, so that the writer never sleeps inside write() and always sees a stop in time.
constexpr std::size_t kChunk = 4096;
constexpr int kPollSliceMs = 50;

// The next write: whole lines up to a chunk, so that a line shorter than a chunk goes out in one
// write() (atomic on a pipe, and on a file shared with the log: stdout and stderr on one
// journal or file never cut each other's lines); a longer line goes a chunk at a time.
std::size_t chunk_length(const std::string& text, std::size_t from) {
    const std::size_t left = text.size() - from;
    if (left <= kChunk) return left;
    const std::size_t last_end = text.rfind('\n', from + kChunk - 1);
    return last_end != std::string::npos && last_end >= from ? last_end + 1 - from : kChunk;
}

}  // namespace

LineOutput::LineOutput(int fd, std::size_t bound, Events events)
    : fd_(fd), events_(std::move(events)), worker_(bound) {
    worker_.start([this] { run(); });
}

// Unless finished before, what is queued gets a moment to go out (the lines that led to an error).
LineOutput::~LineOutput() {
    finish(std::chrono::steady_clock::now() + std::chrono::milliseconds(200));
}

bool LineOutput::write_line(std::string line) {
    if (state_.load() != State::writing) return false;
    line += '\n';
    if (worker_.queue().try_push(std::move(line))) return true;
    dropped_since_report_.fetch_add(1);
    dropped_total_.fetch_add(1);
    return false;
}

void LineOutput::finish(std::chrono::steady_clock::time_point deadline) {
    if (worker_.running()) worker_.finish(deadline);
}

bool LineOutput::write_all(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        if (worker_.out_of_time()) return false;
        pollfd p{fd_, POLLOUT, 0};
        const int ready = poll(&p, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR) {
            state_.store(State::failed);
            if (events_.ended) events_.ended(State::failed, std::strerror(errno));
            return false;
        }
        if (ready <= 0) continue;
        const std::size_t length = chunk_length(text, done);
        const ssize_t written = ::write(fd_, text.data() + done, length);
        if (written >= 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (errno == EINTR || errno == EAGAIN) continue;
        const int error = errno;
        state_.store(error == EPIPE ? State::closed : State::failed);
        if (events_.ended) events_.ended(state_.load(), std::strerror(error));
        return false;
    }
    return true;
}

void LineOutput::run() {
    std::vector<std::string> lines;
    std::string text;
    for (;;) {
        lines.clear();
        if (!worker_.queue().pop_all(lines, std::chrono::milliseconds(200))) break;
        if (lines.empty()) continue;
        if (state_.load() != State::writing) continue;  // ended: what comes is dropped
        text.clear();
        for (const auto& line : lines) text += line;
        if (!write_all(text)) {
            dropped_total_.fetch_add(lines.size());
            if (state_.load() == State::writing) break;  // out of time while finishing
            continue;
        }
        const uint64_t dropped = dropped_since_report_.exchange(0);
        if (dropped > 0 && events_.lines_dropped) events_.lines_dropped(dropped);
    }
    // Whatever was left when time ran out.
    lines.clear();
    worker_.queue().pop_all(lines, std::chrono::milliseconds(0));
    dropped_total_.fetch_add(lines.size());
}

}  // namespace kavren::host
