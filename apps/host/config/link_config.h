#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "apps/common/cli_values.h"

namespace kavren::host {

// The longest meter name, in bytes of UTF-8: a name also stands in MQTT topics and Home
// Assistant's ids, whose length brokers limit.
inline constexpr std::size_t kMaxMeterNameBytes = 64;

struct MeterConfig {
    std::string name;             // how logs, output and history name the meter: unique, UTF-8
    int unit = 1;                 // Modbus unit id, 1 to 247
    uint32_t data_id = 0;         // the host's data id for the device
    Json::Value settings;         // device settings handed to InitSetting
    std::string settings_origin;  // the file they came from, for messages
};

// A Modbus TCP server in front of a link (the gateway; off while `listen` is empty): reads of
// registers the last complete round of a meter read are answered from that round, every other
// request goes to the meter on the link's thread, between the host's own requests.
struct GatewayConfig {
    std::string listen;             // "HOST:PORT" as given; normalized by listen_address()
    std::string port_file;          // where the bound port is written (useful with port 0)
    bool writes = false;            // pass requests that change a meter (writes) too
    int max_clients = 8;            // connections at once; more are refused
    int max_queue = 8;              // forwarded requests waiting for the line; more: "busy"
    double max_age_s = -1;          // the oldest round reads are answered from; < 0: the interval
    int idle_timeout_ms = 60000;    // a connection that sends nothing for this long is closed
    int request_timeout_ms = 2000;  // a request begun must be whole, a reply taken, within this

    bool enabled() const { return !listen.empty(); }
};

struct LinkConfig {
    // RTU on a serial line, Modbus TCP, or RTU frames on a TCP connection (a serial server).
    enum class Kind { rtu, tcp, rtu_over_tcp };
    Kind kind = Kind::rtu;
    std::string device;   // RTU: serial device path (a /dev/serial/by-id name survives replugging)
    app::TcpAddress tcp;  // TCP, RTU over TCP: gateway or meter
    int baud = 0;         // 0: the driver's own line speed; else a speed a serial port can run
    char parity = 'N';    // 'N', 'E' or 'O'
    int data_bits = 8;
    int stop_bits = 1;
    int timeout_ms = 1000;  // bounds each request to its complete reply, and each TCP connect
    int pause_ms = 0;       // silence between requests, for slow meters and RS485 adapters
    std::vector<MeterConfig> meters;
    GatewayConfig gateway;

    std::string describe() const;
};

}  // namespace kavren::host
