// The history's stored form of a record, with any bytes:
//   - any record against any base comes back exactly as it was;
//   - a meter's records, stored one after the other by the writer (drifting, cycling through a
//     few states, changing length, as the input says), read back exactly through bases of one
//     record and of several;
//   - stored bytes no writer made (a damaged history) are an error of the read, never a read
//     past what is there.
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "apps/host/history/record_codec.h"
#include "apps/host/history/schema.h"
#include "fuzz/fuzz_input.h"

namespace {

using kavren::host::compact_record;
using kavren::host::expand_record;
using kavren_fuzz::Input;

struct History {
    sqlite3* db = nullptr;
    kavren::host::RecordFunctions* functions = nullptr;
    sqlite3_stmt* read = nullptr;
    History() {
        if (sqlite3_open(":memory:", &db) != SQLITE_OK) __builtin_trap();
        kavren::host::make_history_tables(db);
        functions = kavren::host::register_record_functions(db);
        sqlite3_prepare_v2(db, "SELECT record_bytes(?, ?)", -1, &read, nullptr);
    }
    ~History() {
        sqlite3_finalize(read);
        kavren::host::release_record_functions(functions);
        sqlite3_close(db);
    }
    // The record stored as `encoded` against base `base`; false when the read is an error.
    bool read_back(int64_t base, const std::string& encoded, std::vector<uint8_t>& record) {
        sqlite3_reset(read);
        sqlite3_bind_int64(read, 1, base);
        sqlite3_bind_blob(read, 2, encoded.data(), static_cast<int>(encoded.size()), SQLITE_STATIC);
        if (sqlite3_step(read) != SQLITE_ROW) return false;
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(read, 0));
        record.assign(bytes, bytes + sqlite3_column_bytes(read, 0));
        return true;
    }
};

void any_record_against_any_base(Input& in) {
    const std::vector<uint8_t> base = in.bytes(in.byte() * 2u);
    const std::vector<uint8_t> record = in.rest();
    const std::string encoded = compact_record(base, record.data(), record.size());
    const std::string bytes(encoded.begin(), encoded.end());
    if (expand_record(base, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) != record)
        __builtin_trap();
}

// Records of a meter: a few states the input makes, taken in a cycle, each round with a byte or
// two changed; the length changes once, where the input says.
void a_meters_records(Input& in) {
    History history;
    kavren::host::RecordBases bases(history.db);
    std::size_t length = 1 + in.byte() % 300;
    const std::size_t period = 1 + in.byte() % 24, rounds = 64 + in.byte() * 2u;
    const std::size_t new_length_at = in.byte() * 2u;
    std::vector<std::vector<uint8_t>> states;
    for (std::size_t k = 0; k < period; ++k) states.push_back(in.bytes(length));
    std::vector<std::pair<int64_t, std::string>> stored;
    std::vector<std::vector<uint8_t>> records;
    for (std::size_t i = 0; i < rounds; ++i) {
        if (i == new_length_at) {
            length = 1 + in.byte() % 300;
            for (auto& state : states) state.resize(length, in.byte());
        }
        std::vector<uint8_t> record = states[i % period];
        const uint8_t changes = in.byte() % 4;
        for (uint8_t c = 0; c < changes; ++c) record[in.byte() % length] ^= in.byte();
        std::string encoded;
        const int64_t base = bases.encode("m", record.data(), record.size(), encoded);
        stored.emplace_back(base, encoded);
        records.push_back(std::move(record));
    }
    std::vector<uint8_t> back;
    for (std::size_t i = 0; i < stored.size(); ++i)
        if (!history.read_back(stored[i].first, stored[i].second, back) || back != records[i])
            __builtin_trap();
}

// A base row and a record as a damaged history may hold them: the read is an error or a record.
void damaged_rows(Input& in) {
    History history;
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(
        history.db, "INSERT INTO record_bases (id, device, record, records) VALUES (1, 'm', ?, ?)",
        -1, &insert, nullptr);
    const int64_t records = static_cast<int8_t>(in.byte());
    const std::vector<uint8_t> base = in.bytes(in.byte() * 4u);
    sqlite3_bind_blob(insert, 1, base.data(), static_cast<int>(base.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 2, records);
    sqlite3_step(insert);
    sqlite3_finalize(insert);
    const std::vector<uint8_t> rest = in.rest();
    const std::string encoded(rest.begin(), rest.end());
    std::vector<uint8_t> back;
    for (const int64_t id : {1, 2}) history.read_back(id, encoded, back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    Input in(data, size);
    switch (in.byte() % 3) {
        case 0:
            any_record_against_any_base(in);
            break;
        case 1:
            a_meters_records(in);
            break;
        default:
            damaged_rows(in);
    }
    return 0;
}
