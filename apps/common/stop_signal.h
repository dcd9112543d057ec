#pragma once

namespace kavren::app {

// SIGINT and SIGTERM ask the program to stop; it finishes what it is doing and exits cleanly.
void install_stop_signals();
bool stop_requested();
void request_stop();

}  // namespace kavren::app
