#include "apps/host/gateway/gateway_rules.h"

#include <algorithm>

namespace kavren::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadInputRegisters = 0x04;
constexpr int kReadDeviceIdentification = 0x0E;  // the MEI type of function 43 that only reads

// Functions that read and change nothing: read coils, discrete inputs, holding and input
// registers, exception status, the communication event counter and log, the server id, file
// records, the FIFO queue, and the device identification (function 43 with MEI type 14).
bool only_reads(const Bytes& pdu) {
    static const int reading[] = {1, 2, 3, 4, 7, 11, 12, 17, 20, 24};
    const int function = pdu[0];
    if (function == 43) return pdu.size() >= 2 && pdu[1] == kReadDeviceIdentification;
    return std::find(std::begin(reading), std::end(reading), function) != std::end(reading);
}

Handling answered(Bytes reply, GatewayOutcome outcome) {
    Handling h;
    h.reply = std::move(reply);
    h.outcome = outcome;
    return h;
}

// The words of the read from the round, when one read of the round holds them all.
bool words_from_round(const RoundWords& round, int function, int start, int count, Bytes& reply) {
    for (const ReadWords& read : round.reads) {
        const int end = read.start + static_cast<int>(read.words.size());
        if (read.function != function || start < read.start || start + count > end) continue;
        reply.assign(2 + 2 * static_cast<std::size_t>(count), 0);
        reply[0] = static_cast<uint8_t>(function);
        reply[1] = static_cast<uint8_t>(2 * count);
        for (int i = 0; i < count; ++i)
            put_big_endian(reply.data() + 2 + 2 * i, read.words[start - read.start + i]);
        return true;
    }
    return false;
}

// A read of registers: answered from the round, refused as invalid, or nothing (forwarded).
bool register_read(const GatewayRules& rules, const LastRounds& rounds, int unit, const Bytes& pdu,
                   Clock::time_point now, Handling& handling) {
    const int function = pdu[0];
    const int start = pdu.size() == 5 ? big_endian_at(pdu.data() + 1) : 0;
    const int count = pdu.size() == 5 ? big_endian_at(pdu.data() + 3) : 0;
    if (count < 1 || count > 125 || start + count > 65536) {
        handling = answered(exception_reply(function, kIllegalDataValue), GatewayOutcome::invalid);
        return true;
    }
    if (rules.max_age <= Clock::duration::zero()) return false;
    const std::shared_ptr<const RoundWords> round = rounds.of(unit);
    if (!round || now - round->completed > rules.max_age) return false;
    Bytes reply;
    if (!words_from_round(*round, function, start, count, reply)) return false;
    handling = answered(std::move(reply), GatewayOutcome::cached);
    return true;
}

}  // namespace

GatewayRules gateway_rules(const LinkConfig& link, double interval_s) {
    GatewayRules rules;
    for (const MeterConfig& meter : link.meters) rules.units.push_back(meter.unit);
    rules.writes = link.gateway.writes;
    const double max_age_s = link.gateway.max_age_s < 0 ? interval_s : link.gateway.max_age_s;
    rules.max_age =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(max_age_s));
    rules.rtu_frames = link.kind != LinkConfig::Kind::tcp;
    return rules;
}

Bytes exception_reply(int function, int code) {
    return Bytes{static_cast<uint8_t>(function | kExceptionFlag), static_cast<uint8_t>(code)};
}

Handling handle_request(const GatewayRules& rules, const LastRounds& rounds, int unit,
                        const Bytes& pdu, Clock::time_point now) {
    const int function = pdu.empty() ? 0 : pdu[0];
    if (std::find(rules.units.begin(), rules.units.end(), unit) == rules.units.end())
        return answered(exception_reply(function, kGatewayPathUnavailable),
                        GatewayOutcome::unknown_unit);
    if (function == 0 || (function & kExceptionFlag) || (!rules.writes && !only_reads(pdu)))
        return answered(exception_reply(function, kIllegalFunction), GatewayOutcome::refused);
    Handling handling;
    if ((function == kReadHoldingRegisters || function == kReadInputRegisters) &&
        register_read(rules, rounds, unit, pdu, now, handling))
        return handling;
    int byte_count = 0;
    if (rules.rtu_frames && reply_pdu_size(pdu, byte_count) == 0)
        return answered(exception_reply(function, kIllegalFunction), GatewayOutcome::refused);
    handling.forward = true;
    return handling;
}

Handling forwarded_reply(const ForwardedRequest& request) {
    const int function = request.pdu.empty() ? 0 : request.pdu[0];
    if (request.carried && request.outcome == ReadOutcome::ok)
        return answered(request.reply, GatewayOutcome::forwarded);
    const bool path_down = !request.carried || request.outcome == ReadOutcome::connection_lost;
    return answered(
        exception_reply(function, path_down ? kGatewayPathUnavailable : kGatewayTargetFailed),
        GatewayOutcome::no_reply);
}

}  // namespace kavren::host
