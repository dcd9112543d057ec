#include "apps/sim/meter_server.h"

#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "apps/sim/published_file.h"

namespace kavren::sim {

MeterServer::MeterServer(modbus_t* context, const std::vector<int>& units, Settings settings,
                         FaultPlan faults, PtyLine* line)
    : context_(context),
      settings_(std::move(settings)),
      faults_(std::move(faults)),
      line_(line),
      mapping_(modbus_mapping_new(0, 0, kRegisterSpace, 0)),
      started_(std::chrono::steady_clock::now()) {
    if (mapping_ == nullptr) throw std::runtime_error("cannot allocate the register table");
    for (int unit : units) meters_.emplace(unit, MeterModel(unit, settings_.baud_code));
    reload_registers_if_changed();
}

void MeterServer::reload_registers_if_changed() {
    if (settings_.registers_file.empty()) return;
    struct stat info {};
    if (stat(settings_.registers_file.c_str(), &info) != 0) return;  // keep the last pins
    const long long mtime =
        static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
    if (mtime == registers_mtime_) return;
    try {
        const auto pinned = read_register_file(settings_.registers_file);
        for (auto& meter : meters_) meter.second.pin(pinned);
        registers_mtime_ = mtime;
    } catch (const std::exception& e) {
        if (registers_mtime_ < 0) throw;  // at start-up a bad file is an error
        std::cerr << "kavren-sim: keeping the last registers: " << e.what() << std::endl;
        registers_mtime_ = mtime;
    }
}

bool MeterServer::answer(const uint8_t* query, int length) {
    const int header = modbus_get_header_length(context_);
    if (length < header + 5) return true;  // libmodbus has already refused anything shorter
    const int unit = query[header - 1];
    ++requests_;
    if (!settings_.requests_file.empty())
        publish_in_file(settings_.requests_file, std::to_string(requests_));
    reload_registers_if_changed();

    const Fault fault = faults_.fault_for(requests_);
    if (fault != Fault::none) {
        std::cerr << "kavren-sim: request " << requests_ << ": " << fault_name(fault) << std::endl;
    }
    auto meter = meters_.find(unit);
    if (meter == meters_.end()) {
        // A Modbus TCP gateway answers for a unit that is not there; on a serial line, also one
        // behind a serial server, nobody answers.
        if (unit != 0 && header > 1)
            modbus_reply_exception(context_, query, MODBUS_EXCEPTION_GATEWAY_TARGET);
        return true;
    }
    switch (fault) {
        case Fault::drop:
            return true;
        case Fault::reset:
            return false;
        case Fault::exception:
            modbus_reply_exception(context_, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
            return true;
        case Fault::delay:
            std::this_thread::sleep_for(std::chrono::milliseconds(settings_.delay_ms));
            break;
        case Fault::crc:
            if (line_ != nullptr) line_->corrupt_next_reply();
            break;
        default:
            break;
    }
    if (settings_.turnaround_ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(settings_.turnaround_ms));
    }
    reply(meter->second, fault, query, length);
    return true;
}

void MeterServer::reply(MeterModel& meter, Fault fault, const uint8_t* query, int length) {
    const int header = modbus_get_header_length(context_);
    if (query[header] != MODBUS_FC_READ_HOLDING_REGISTERS) {
        modbus_reply_exception(context_, query, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
        return;
    }
    const int start = query[header + 1] << 8 | query[header + 2];
    const int count = query[header + 3] << 8 | query[header + 4];
    if (!meter.serves(start, count)) {
        modbus_reply_exception(context_, query, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    meter.advance_to(seconds);
    meter.fill(registers_);
    std::copy(registers_.begin(), registers_.end(), mapping_->tab_registers);

    if (fault == Fault::short_reply && count > 1) {
        // The same request for one register fewer: libmodbus frames a well-formed short reply.
        std::vector<uint8_t> shorter(query, query + length);
        shorter[header + 4] = static_cast<uint8_t>(count - 1);
        shorter[header + 3] = static_cast<uint8_t>((count - 1) >> 8);
        modbus_reply(context_, shorter.data(), length, mapping_.get());
        return;
    }
    modbus_reply(context_, query, length, mapping_.get());
}

}  // namespace kavren::sim
