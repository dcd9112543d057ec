// kavren-sim: a KAVREN_M7 power meter on Modbus RTU (serial device or pseudo-terminal), Modbus
// TCP, or RTU frames on TCP.
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <modbus/modbus.h>
#include <CLI/CLI.hpp>

#include "apps/common/cli_values.h"
#include "apps/common/program.h"
#include "apps/common/stop_signal.h"
#include "apps/sim/fault_plan.h"
#include "apps/sim/meter_server.h"
#include "apps/sim/pty_line.h"
#include "apps/sim/published_file.h"

namespace {

using kavren::sim::Fault;
using kavren::sim::FaultPlan;
using kavren::sim::MeterServer;
using kavren::sim::PtyLine;
using kavren::sim::publish_in_file;

struct Options {
    std::string rtu_device;
    bool pty = false;
    std::string pty_link;
    std::string pty_file;
    std::string tcp;
    std::string rtu_over_tcp;
    std::string port_file;
    std::string requests_file;
    int baud = 9600;
    std::string parity = "N";
    int stop_bits = 1;
    std::string units = "1";
    int line_rate = 0;
    int turnaround_ms = 0;
    int delay_ms = 3000;
    std::string registers_file;
    std::vector<std::string> faults;
    double fault_rate = 0.0;
    std::vector<std::string> fault_kinds;
    uint64_t seed = 1;
};

using kavren::app::UsageError;

std::vector<int> parse_units(const std::string& text) {
    std::set<int> units;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const auto dash = item.find('-');
        try {
            std::size_t used = 0;
            const int first = std::stoi(item.substr(0, dash), &used);
            int last = first;
            if (dash != std::string::npos)
                last = std::stoi(item.substr(dash + 1), &used);
            else if (used != item.size())
                throw std::invalid_argument(item);
            if (first < 1 || last > 247 || first > last) throw std::invalid_argument(item);
            for (int u = first; u <= last; ++u) units.insert(u);
        } catch (const std::exception&) {
            throw UsageError("bad unit list '" + text +
                             "': use ids 1 to 247, e.g. 1 or 1-10 or 1,4");
        }
    }
    if (units.empty()) throw UsageError("no unit id given");
    return std::vector<int>(units.begin(), units.end());
}

int baud_code_for(int baud) {
    const int rates[] = {2400, 4800, 9600, 19200, 38400, 600, 1200};
    for (int code = 0; code < 7; ++code) {
        if (rates[code] == baud) return code;
    }
    return 2;
}

void publish_pty_path(const Options& o, const std::string& path) {
    if (!o.pty_file.empty()) publish_in_file(o.pty_file, path);
    if (!o.pty_link.empty()) {
        // Replaced in one step, like a /dev/serial/by-id name when the adapter comes back.
        const std::string temporary = o.pty_link + ".tmp";
        unlink(temporary.c_str());
        if (symlink(path.c_str(), temporary.c_str()) != 0 ||
            std::rename(temporary.c_str(), o.pty_link.c_str()) != 0) {
            throw std::runtime_error("cannot create link " + o.pty_link + ": " +
                                     std::strerror(errno));
        }
    }
}

void withdraw_pty_path(const Options& o, const std::string& path) {
    if (o.pty_link.empty()) return;
    char target[256] = {};
    const ssize_t n = readlink(o.pty_link.c_str(), target, sizeof target - 1);
    if (n > 0 && path == std::string(target, static_cast<std::size_t>(n)))
        unlink(o.pty_link.c_str());
}

int serve_rtu(const Options& o, const std::vector<int>& units, MeterServer::Settings settings,
              FaultPlan faults) {
    if (units.size() != 1) throw UsageError("an RTU line serves one unit id per simulator");
    const char parity = kavren::app::parse_parity(o.parity);
    std::unique_ptr<PtyLine> line;
    std::string device = o.rtu_device;
    if (o.pty) {
        const double rate = o.line_rate > 0 ? kavren::app::characters_per_second(
                                                  o.line_rate, parity, 8, o.stop_bits)
                                            : 0.0;
        line = std::make_unique<PtyLine>(rate);
        device = line->server_path();
    } else if (faults.uses(Fault::crc)) {
        throw UsageError("CRC faults need the simulator's own pseudo-terminal (--pty)");
    } else if (o.line_rate > 0) {
        throw UsageError(
            "--line-rate paces the simulator's own pseudo-terminal (--pty); a real line has its "
            "own pace");
    }
    modbus_t* ctx = modbus_new_rtu(device.c_str(), o.baud, parity, 8, o.stop_bits);
    if (ctx == nullptr)
        throw std::runtime_error("cannot use " + device + ": " + modbus_strerror(errno));
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> owner(ctx, [](modbus_t* c) {
        modbus_close(c);
        modbus_free(c);
    });
    modbus_set_slave(ctx, units.front());
    if (modbus_connect(ctx) != 0)
        throw std::runtime_error("cannot open " + device + ": " + modbus_strerror(errno));
    MeterServer server(ctx, units, std::move(settings), std::move(faults), line.get());

    const std::string where = line ? line->host_path() : device;
    if (line) {
        line->start();
        publish_pty_path(o, where);
    }
    std::cout << "kavren-sim: meter unit " << units.front() << " on " << where << " (RTU " << o.baud
              << " " << 8 << parity << o.stop_bits;
    if (o.line_rate > 0) std::cout << ", paced at " << o.line_rate << " bit/s";
    std::cout << ")" << std::endl;

    const int fd = modbus_get_socket(ctx);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!kavren::app::stop_requested()) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) continue;
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            server.answer(query, rc);
        } else if (rc < 0) {
            modbus_flush(ctx);  // a damaged request: wait for the next one
        }
    }
    if (line) {
        withdraw_pty_path(o, where);
        line->stop();
    }
    return 0;
}

// A socket listening on [HOST:]PORT (port 0: any free port); `shown` is HOST:PORT as bound.
int listen_on(const std::string& text, std::string& shown) {
    kavren::app::TcpAddress address;
    try {
        address = kavren::app::parse_tcp_address(text, "127.0.0.1", true);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int looked_up = getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
    if (looked_up != 0)
        throw std::runtime_error("cannot listen on " + text + ": " + gai_strerror(looked_up));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
    const int listener = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(listener, found->ai_addr, found->ai_addrlen) != 0 || listen(listener, 16) != 0) {
        const int error = errno;
        if (listener >= 0) close(listener);
        throw std::runtime_error(
            "cannot listen on " + address.host + ":" + address.port + ": " +
            (error == EADDRINUSE ? std::string("port in use") : std::strerror(error)));
    }
    sockaddr_storage bound{};
    socklen_t bound_size = sizeof bound;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &bound_size) != 0)
        throw std::runtime_error(std::string("cannot tell the port: ") + std::strerror(errno));
    shown = address.host + ":" +
            std::to_string(ntohs(bound.ss_family == AF_INET6
                                     ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&bound)->sin_port));
    return listener;
}

// One request of a client and its answer; false when the connection is to be closed. RTU
// frames: the request's unit id selects the meter, as on the bus behind a serial server
// (libmodbus's RTU side takes the frames of one unit id at a time).
bool serve_request(int client, modbus_t* ctx, MeterServer& server, bool rtu_frames) {
    if (rtu_frames) {
        uint8_t unit = 0;
        if (recv(client, &unit, 1, MSG_PEEK) != 1) return false;
        if (modbus_set_slave(ctx, unit) != 0) return false;  // no unit id: not Modbus RTU
    }
    modbus_set_socket(ctx, client);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    const int rc = modbus_receive(ctx, query);
    return rc > 0 ? server.answer(query, rc) : rc == 0;
}

// Every client of the listener, each request answered in turn, until a stop.
void serve_clients(int listener, modbus_t* ctx, MeterServer& server, bool rtu_frames) {
    std::vector<int> clients;
    while (!kavren::app::stop_requested()) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (int c : clients) fds.push_back({c, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) clients.push_back(client);
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (serve_request(fds[i].fd, ctx, server, rtu_frames)) continue;
            close(fds[i].fd);
            clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
        }
    }
    for (int c : clients) close(c);
    close(listener);
}

// Modbus TCP, or RTU frames on TCP connections (a serial server in front of the meters).
int serve_tcp(const Options& o, const std::vector<int>& units, MeterServer::Settings settings,
              FaultPlan faults) {
    const bool rtu_frames = !o.rtu_over_tcp.empty();
    if (faults.uses(Fault::crc))
        throw UsageError(rtu_frames ? "CRC faults need the simulator's own pseudo-terminal (--pty)"
                                    : "CRC faults need an RTU line (--pty); TCP frames carry no "
                                      "CRC");
    if (o.line_rate > 0) throw UsageError("--line-rate paces a serial line (--pty)");
    std::string where;
    const int listener = listen_on(rtu_frames ? o.rtu_over_tcp : o.tcp, where);
    // The context frames requests and replies; its connections are ours. An RTU context is
    // given a device it never opens.
    modbus_t* ctx = rtu_frames ? modbus_new_rtu("/dev/null", o.baud, 'N', 8, 1)
                               : modbus_new_tcp_pi("127.0.0.1", "502");
    if (ctx == nullptr)
        throw std::runtime_error(std::string("cannot frame: ") + modbus_strerror(errno));
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> owner(ctx, [](modbus_t* c) { modbus_free(c); });
    if (!o.port_file.empty()) publish_in_file(o.port_file, where.substr(where.rfind(':') + 1));
    MeterServer server(ctx, units, std::move(settings), std::move(faults), nullptr);
    std::cout << "kavren-sim: meter unit" << (units.size() > 1 ? "s " : " ");
    for (std::size_t i = 0; i < units.size(); ++i) std::cout << (i ? "," : "") << units[i];
    std::cout << " on " << where << (rtu_frames ? " (RTU over TCP)" : " (Modbus TCP)") << std::endl;
    serve_clients(listener, ctx, server, rtu_frames);
    return 0;
}

void add_options(CLI::App& app, Options& o) {
    app.add_option("--rtu", o.rtu_device, "Serve Modbus RTU on this serial device");
    app.add_flag("--pty", o.pty,
                 "Create a pseudo-terminal and serve Modbus RTU on it (prints its path)");
    app.add_option("--pty-link", o.pty_link,
                   "With --pty: make this symlink point to the pseudo-terminal");
    app.add_option("--pty-file", o.pty_file,
                   "With --pty: write the pseudo-terminal's path to this file");
    app.add_option("--tcp", o.tcp,
                   "Serve Modbus TCP on [HOST:]PORT (HOST defaults to 127.0.0.1; port 0: any free "
                   "port)");
    app.add_option("--rtu-over-tcp", o.rtu_over_tcp,
                   "Serve Modbus RTU frames on TCP connections on [HOST:]PORT, as a serial server "
                   "in front of an RS485 line does");
    app.add_option("--port-file", o.port_file,
                   "With --tcp or --rtu-over-tcp: write the port listened on to this file once "
                   "listening");
    app.add_option("--requests-file", o.requests_file,
                   "Write the number of requests received so far to this file after each one "
                   "(rewritten whole), so that a test can count the line's traffic");
    app.add_option("--baud", o.baud, "RTU line speed, bit/s (also sets the meter's baud code)")
        ->capture_default_str();
    app.add_option("--parity", o.parity, "RTU parity: N, E or O")->capture_default_str();
    app.add_option("--stop-bits", o.stop_bits, "RTU stop bits: 1 or 2")->capture_default_str();
    app.add_option("--unit", o.units,
                   "Unit id(s) served: 1, 1-10, 1,4 (TCP and RTU over TCP may serve several)")
        ->capture_default_str();
    app.add_option(
        "--line-rate", o.line_rate,
        "With --pty: pace every frame at this line speed (bit/s), with 3.5-character silences");
    app.add_option("--turnaround-ms", o.turnaround_ms, "Time the meter takes before it replies")
        ->capture_default_str();
    app.add_option("--registers", o.registers_file,
                   "JSON file {\"address\": value} of registers to pin; re-read when it changes");
    app.add_option("--fault", o.faults,
                   "Fault at a request number, REQUEST:KIND (repeatable); kinds: drop, "
                   "delay, crc, exception, short, reset");
    app.add_option("--fault-rate", o.fault_rate,
                   "Probability of a random fault per request (0 to 1)");
    app.add_option("--fault-kinds", o.fault_kinds,
                   "Kinds of random faults (default drop,exception)")
        ->delimiter(',');
    app.add_option("--seed", o.seed, "Seed of the random faults")->capture_default_str();
    app.add_option("--delay-ms", o.delay_ms, "How late a delayed reply comes")
        ->capture_default_str();
}

void check(const Options& o) {
    const int transports = !o.rtu_device.empty() + o.pty + !o.tcp.empty() + !o.rtu_over_tcp.empty();
    if (transports != 1)
        throw UsageError(
            "choose exactly one of --rtu DEVICE, --pty, --tcp [HOST:]PORT or --rtu-over-tcp "
            "[HOST:]PORT");
    if (o.baud <= 0) throw UsageError("--baud must be positive");
    if (!o.port_file.empty() && o.tcp.empty() && o.rtu_over_tcp.empty())
        throw UsageError("--port-file tells the port of --tcp or --rtu-over-tcp");
    if (o.stop_bits != 1 && o.stop_bits != 2) throw UsageError("--stop-bits must be 1 or 2");
    if (o.line_rate < 0 || o.turnaround_ms < 0 || o.delay_ms < 0)
        throw UsageError("times and rates cannot be negative");
}

FaultPlan fault_plan(const Options& o) {
    FaultPlan faults;
    std::vector<Fault> kinds;
    try {
        for (const auto& spec : o.faults) faults.add_at(spec);
        for (const auto& kind : o.fault_kinds) kinds.push_back(kavren::sim::parse_fault(kind));
        if (kinds.empty()) kinds = {Fault::drop, Fault::exception};
        faults.set_random(o.fault_rate, kinds, o.seed);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    return faults;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{
        "kavren-sim: a simulated KAVREN_M7 three-phase power meter, a Modbus slave on a serial\n"
        "line, a pseudo-terminal it creates, Modbus TCP, or RTU frames on TCP. It serves the\n"
        "meter's 106 registers (seven blocks) from a drifting three-phase model; other addresses\n"
        "get the exception a meter gives (illegal data address)."};
    add_options(app, o);
    if (auto status = kavren::app::parse_command_line(app, argc, argv, "kavren-sim"))
        return *status;

    return kavren::app::run_reporting_errors("kavren-sim", [&] {
        check(o);
        const std::vector<int> units = parse_units(o.units);
        FaultPlan faults = fault_plan(o);
        MeterServer::Settings settings;
        settings.baud_code = baud_code_for(o.baud);
        settings.turnaround_ms = o.turnaround_ms;
        settings.delay_ms = o.delay_ms;
        settings.registers_file = o.registers_file;
        settings.requests_file = o.requests_file;

        kavren::app::install_stop_signals();
        if (!o.tcp.empty() || !o.rtu_over_tcp.empty())
            return serve_tcp(o, units, settings, std::move(faults));
        return serve_rtu(o, units, settings, std::move(faults));
    });
}
