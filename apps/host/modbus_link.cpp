#include "apps/host/modbus_link.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavren::host {

const char* outcome_name(ReadOutcome outcome) {
    switch (outcome) {
        case ReadOutcome::ok:
            return "ok";
        case ReadOutcome::timeout:
            return "timeout";
        case ReadOutcome::crc_error:
            return "crc_error";
        case ReadOutcome::exception:
            return "exception";
        case ReadOutcome::bad_reply:
            return "bad_reply";
        case ReadOutcome::short_reply:
            return "short_reply";
        case ReadOutcome::connection_lost:
            return "connection_lost";
    }
    return "?";
}

ModbusLink::ModbusLink(const LinkConfig& config, int driver_baud)
    : config_(config), baud_(config.baud > 0 ? config.baud : driver_baud) {}

ModbusLink::~ModbusLink() { close(); }

void ModbusLink::close() {
    if (context_ == nullptr) return;
    modbus_close(context_);
    modbus_free(context_);
    context_ = nullptr;
}

bool ModbusLink::open(std::string& why) {
    if (context_ != nullptr) return true;
    if (config_.kind == LinkConfig::Kind::rtu) {
        context_ = modbus_new_rtu(config_.device.c_str(), baud_, config_.parity, config_.data_bits,
                                  config_.stop_bits);
    } else {
        context_ = modbus_new_tcp_pi(config_.tcp.host.c_str(), config_.tcp.port.c_str());
    }
    if (context_ == nullptr) {
        why = std::string("cannot use ") + config_.describe() + ": " + modbus_strerror(errno);
        return false;
    }
    if (modbus_connect(context_) != 0) {
        why = std::string("cannot open ") + config_.describe() + ": " + modbus_strerror(errno);
        modbus_free(context_);
        context_ = nullptr;
        return false;
    }
    if (config_.kind == LinkConfig::Kind::rtu &&
        flock(modbus_get_socket(context_), LOCK_EX | LOCK_NB) != 0) {
        why = config_.device + " is in use by another program";
        close();
        return false;
    }
    const int ms = config_.timeout_ms;
    modbus_set_response_timeout(context_, static_cast<uint32_t>(ms / 1000),
                                static_cast<uint32_t>(ms % 1000) * 1000);
    return true;
}

ReadOutcome ModbusLink::read_registers(int unit, int start, int count, uint16_t* words) {
    if (!open(last_error_)) return ReadOutcome::connection_lost;
    modbus_set_slave(context_, unit);
    const int rc = modbus_read_registers(context_, start, count, words);
    if (rc == count) return ReadOutcome::ok;
    if (rc >= 0) {
        last_error_ =
            "short reply: " + std::to_string(rc) + " of " + std::to_string(count) + " registers";
        return ReadOutcome::short_reply;
    }
    const int error = errno;
    last_error_ = modbus_strerror(error);
    ReadOutcome outcome;
    if (error == ETIMEDOUT) {
        outcome = ReadOutcome::timeout;
    } else if (error == EMBBADCRC) {
        outcome = ReadOutcome::crc_error;
    } else if (error > MODBUS_ENOBASE && error <= EMBXGTAR) {
        outcome = ReadOutcome::exception;
    } else if (error == EMBBADDATA) {
        // libmodbus reports a reply with another register count as bad data.
        outcome = ReadOutcome::short_reply;
    } else if (error == EMBBADEXC || error == EMBUNKEXC || error == EMBMDATA ||
               error == EMBBADSLAVE) {
        outcome = ReadOutcome::bad_reply;
    } else {
        outcome = ReadOutcome::connection_lost;
    }
    if (outcome == ReadOutcome::exception) return outcome;  // the meter answered: the link is sound
    if (outcome == ReadOutcome::connection_lost || config_.kind == LinkConfig::Kind::tcp) {
        // A TCP stream after a failed exchange may still hold a late reply: start afresh.
        close();
    } else {
        // A meter that answered late, or a damaged frame, may still be sending: let the line go
        // quiet for one response time-out, then drop what arrived, so that no stale reply is
        // taken for the next request's.
        usleep(static_cast<useconds_t>(config_.timeout_ms) * 1000);
        modbus_flush(context_);
    }
    return outcome;
}

}  // namespace kavren::host
