#include "apps/common/stop_signal.h"

#include <atomic>
#include <csignal>

namespace kavren::app {
namespace {
// Read by every thread of the program, set by a signal handler: lock-free atomic.
std::atomic<bool> stop_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may set it");
extern "C" void on_stop_signal(int) { stop_flag.store(true, std::memory_order_relaxed); }
std::atomic<unsigned> hangup_count{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "a signal handler may count");
extern "C" void on_hangup(int) { hangup_count.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

void install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void install_hangup_signal() {
    struct sigaction action {};
    action.sa_handler = on_hangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

unsigned hangups() { return hangup_count.load(std::memory_order_relaxed); }

bool stop_requested() { return stop_flag.load(std::memory_order_relaxed); }
void request_stop() { stop_flag.store(true, std::memory_order_relaxed); }

}  // namespace kavren::app
