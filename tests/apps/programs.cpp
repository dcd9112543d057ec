#include "tests/apps/programs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

pid_t spawn(const std::vector<std::string>& args, const std::string& out_file,
            const std::string& err_file, const std::string& working_dir = "") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err =
            err_file == out_file ? out : open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        setpgid(0, 0);
        if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) throw std::runtime_error("fork failed");
    return pid;
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

bool wait_pid(pid_t pid, double timeout_s, int* status) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            if (status) *status = decode_status(raw);
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int scratch_counter = 0;

}  // namespace

std::string make_temp_dir() {
    std::string pattern = testing::TempDir() + "/kavren_e2e_" + std::to_string(getpid()) + "_" +
                          std::to_string(++scratch_counter) + "_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void remove_folder(const std::string& path) {
    std::error_code failed;
    std::filesystem::remove_all(path, failed);
    if (failed) ADD_FAILURE() << "cannot remove " << path << ": " << failed.message();
}

Finished run_program(const std::vector<std::string>& args, double timeout_s,
                     const std::string& working_dir) {
    const std::string dir = make_temp_dir();
    const pid_t pid = spawn(args, dir + "/out", dir + "/err", working_dir);
    Finished finished;
    if (!wait_pid(pid, timeout_s, &finished.status)) {
        kill(pid, SIGKILL);
        wait_pid(pid, 5, nullptr);
        ADD_FAILURE() << args[0] << " did not finish in " << timeout_s << " s";
    }
    finished.out = read_file(dir + "/out");
    finished.err = read_file(dir + "/err");
    remove_folder(dir);
    return finished;
}

Background::Background(const std::vector<std::string>& args, const std::string& output_file)
    : pid_(spawn(args, output_file, output_file)) {}

Background::~Background() { stop(); }

void Background::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!wait_pid(pid_, 5, nullptr)) {
        kill(pid_, SIGKILL);
        wait_pid(pid_, 5, nullptr);
    }
    pid_ = -1;
}

void Background::kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    wait_pid(pid_, 5, nullptr);
    pid_ = -1;
}

bool Background::wait(double timeout_s, int* status) {
    if (pid_ <= 0) return true;
    if (!wait_pid(pid_, timeout_s, status)) return false;
    pid_ = -1;
    return true;
}

int port_from_file(const std::string& path, double timeout_s) {
    // The file appears whole (written under another name and renamed).
    if (!wait_for_file(path, timeout_s)) return 0;
    try {
        return std::stoi(read_file(path));
    } catch (const std::exception&) {
        return 0;
    }
}

bool wait_for_port(int port, double timeout_s) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(s);
        if (up) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool wait_for_file(const std::string& path, double timeout_s) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    struct stat info {};
    while (stat(path.c_str(), &info) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    std::ofstream(temporary, std::ios::binary) << text;
    std::rename(temporary.c_str(), path.c_str());
}

std::vector<Json::Value> json_lines(const std::string& text) {
    std::vector<Json::Value> lines;
    std::istringstream in(text);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        Json::Value value;
        std::string errors;
        if (!reader->parse(line.data(), line.data() + line.size(), &value, &errors)) {
            ADD_FAILURE() << "not a JSON line: " << line;
            continue;
        }
        lines.push_back(value);
    }
    return lines;
}

}  // namespace testing_support
