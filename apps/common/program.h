#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>

namespace kavren::app {

// A wrong command line: exit status 2. Any other failure of a program: status 1.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Parses the command line. Returns the exit status when the program should end here: 0 after
// --help, 2 after one line on standard error for a bad option.
std::optional<int> parse_command_line(CLI::App& app, int argc, char** argv, const char* program);

// Runs the program's body; a failure ends it with one line "PROGRAM: what" on standard error.
int run_reporting_errors(const char* program, const std::function<int()>& body);

// The local time now, or at `at`, formatted with strftime.
std::string local_time_text(const char* format);
std::string local_time_text(const char* format, std::time_t at);

}  // namespace kavren::app
