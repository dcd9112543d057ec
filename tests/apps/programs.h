#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <json/json.h>

namespace testing_support {

// A program run to its end, with what it printed.
struct Finished {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program and waits for it (killed after timeout_s), in working_dir if one is given.
Finished run_program(const std::vector<std::string>& args, double timeout_s = 60,
                     const std::string& working_dir = "");

// A program running in the background; stopped (SIGTERM, then SIGKILL) when this goes.
class Background {
  public:
    Background(const std::vector<std::string>& args, const std::string& output_file);
    ~Background();
    void stop();
    void kill_now();
    // Waits for the program to end by itself; false when it did not within timeout_s.
    bool wait(double timeout_s, int* status = nullptr);
    pid_t pid() const { return pid_; }

    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

  private:
    pid_t pid_ = -1;
};

// The port a program wrote to its port file once it listened (0 when it did not in time).
int port_from_file(const std::string& path, double timeout_s = 10);
// Waits until something accepts connections on the port.
bool wait_for_port(int port, double timeout_s = 10);
bool wait_for_file(const std::string& path, double timeout_s = 10);
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
// Each non-empty line parsed as JSON (lines that are not JSON fail the test).
std::vector<Json::Value> json_lines(const std::string& text);
// A fresh directory for one test.
std::string make_temp_dir();
// Removes a folder and everything in it (a failure fails the test).
void remove_folder(const std::string& path);

}  // namespace testing_support
