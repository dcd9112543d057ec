#pragma once

namespace kavren::app {

// SIGINT and SIGTERM ask the program to stop; it finishes what it is doing and exits cleanly.
void install_stop_signals();
bool stop_requested();
void request_stop();
// SIGHUP is counted instead of ending the program (its default); hangups() is how many came.
void install_hangup_signal();
unsigned hangups();

}  // namespace kavren::app
