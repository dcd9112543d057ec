#include "apps/common/stop_signal.h"

#include <csignal>

namespace kavren::app {
namespace {
volatile std::sig_atomic_t stop_flag = 0;
extern "C" void on_stop_signal(int) { stop_flag = 1; }
}  // namespace

void install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stop_requested() { return stop_flag != 0; }
void request_stop() { stop_flag = 1; }

}  // namespace kavren::app
