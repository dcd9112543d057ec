#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "apps/common/cli_values.h"

namespace kavren::host {

struct MeterConfig {
    std::string name;             // how logs, output and history name the meter: unique, UTF-8
    int unit = 1;                 // Modbus unit id, 1 to 247
    uint32_t data_id = 0;         // the host's data id for the device
    Json::Value settings;         // device settings handed to InitSetting
    std::string settings_origin;  // the file they came from, for messages
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

    std::string describe() const;
};

}  // namespace kavren::host
