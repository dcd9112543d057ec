#include "apps/host/history/record_codec.h"

#include <sqlite3.h>

#include <stdexcept>

namespace kavren::host {

namespace {

constexpr std::size_t kRunMax = 15;

uint8_t xor_at(const std::vector<uint8_t>& base, const uint8_t* record, std::size_t i) {
    return static_cast<uint8_t>(record[i] ^ (i < base.size() ? base[i] : 0));
}

void put_varint(std::string& out, std::size_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

std::size_t get_varint(const uint8_t* in, std::size_t length, std::size_t& at) {
    std::size_t value = 0;
    for (int shift = 0; at < length && shift < 35; shift += 7) {
        const uint8_t byte = in[at++];
        value |= static_cast<std::size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return value;
    }
    throw std::runtime_error("a stored record is damaged (its length)");
}

}  // namespace

std::string compact_record(const std::vector<uint8_t>& base, const uint8_t* record,
                           std::size_t length) {
    std::string out;
    out.reserve(length / 2 + 8);
    put_varint(out, length);
    std::size_t end = length;
    while (end > 0 && xor_at(base, record, end - 1) == 0) --end;
    for (std::size_t i = 0; i < end;) {
        std::size_t zeros = 0;
        while (zeros < kRunMax && i + zeros < end && xor_at(base, record, i + zeros) == 0) ++zeros;
        std::size_t literals = 0;
        const std::size_t from = i + zeros;
        while (literals < kRunMax && from + literals < end &&
               xor_at(base, record, from + literals) != 0)
            ++literals;
        out += static_cast<char>((zeros << 4) | literals);
        for (std::size_t k = 0; k < literals; ++k)
            out += static_cast<char>(xor_at(base, record, from + k));
        i = from + literals;
    }
    return out;
}

std::vector<uint8_t> expand_record(const std::vector<uint8_t>& base, const uint8_t* encoded,
                                   std::size_t length) {
    std::size_t at = 0;
    const std::size_t size = get_varint(encoded, length, at);
    if (size > 65536) throw std::runtime_error("a stored record is damaged (its length)");
    std::vector<uint8_t> record(size, 0);
    for (std::size_t i = 0; i < size && i < base.size(); ++i) record[i] = base[i];
    std::size_t i = 0;
    while (at < length) {
        const uint8_t token = encoded[at++];
        i += token >> 4;
        const std::size_t literals = token & 0x0F;
        if (i + literals > size || at + literals > length)
            throw std::runtime_error("a stored record is damaged (past its end)");
        for (std::size_t k = 0; k < literals; ++k) record[i++] ^= encoded[at++];
    }
    return record;
}

RecordBases::RecordBases(sqlite3* db) : db_(db) {
    if (sqlite3_prepare_v3(db, "INSERT INTO record_bases (device, record) VALUES (?, ?)", -1,
                           SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

RecordBases::~RecordBases() { sqlite3_finalize(insert_); }

int64_t RecordBases::encode(const std::string& device, const uint8_t* record, std::size_t length,
                            std::string& encoded) {
    Base& base = bases_[device];
    if (base.id == 0 || base.uses >= kRecordsPerBase || base.bytes.size() != length) {
        sqlite3_reset(insert_);
        sqlite3_bind_text(insert_, 1, device.data(), static_cast<int>(device.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert_, 2, record, static_cast<int>(length), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        if (rc != SQLITE_DONE) {
            bases_.erase(device);
            throw std::runtime_error(std::string("cannot store a record's base: ") +
                                     sqlite3_errmsg(db_));
        }
        base.id = sqlite3_last_insert_rowid(db_);
        base.bytes.assign(record, record + length);
        base.uses = 0;
    }
    ++base.uses;
    encoded = compact_record(base.bytes, record, length);
    return base.id;
}

struct RecordFunctions {
    sqlite3* db = nullptr;
    sqlite3_stmt* read_base = nullptr;
    int64_t base_id = -1;  // the base kept, -1 for none
    std::vector<uint8_t> base;
    ~RecordFunctions() { sqlite3_finalize(read_base); }
};

namespace {

// Reads base `id` into the cache; false when there is no such base.
bool load_base(RecordFunctions& f, int64_t id) {
    if (f.base_id == id) return true;
    if (f.read_base == nullptr &&
        sqlite3_prepare_v2(f.db, "SELECT record FROM record_bases WHERE id = ?", -1, &f.read_base,
                           nullptr) != SQLITE_OK)
        return false;
    sqlite3_reset(f.read_base);
    sqlite3_bind_int64(f.read_base, 1, id);
    if (sqlite3_step(f.read_base) != SQLITE_ROW) {
        sqlite3_reset(f.read_base);
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(f.read_base, 0));
    const int length = sqlite3_column_bytes(f.read_base, 0);
    f.base.assign(bytes, bytes + (bytes != nullptr ? length : 0));
    f.base_id = id;
    sqlite3_reset(f.read_base);
    return true;
}

void record_bytes(sqlite3_context* context, int, sqlite3_value** args) {
    auto& f = *static_cast<RecordFunctions*>(sqlite3_user_data(context));
    static const std::vector<uint8_t> none;
    const std::vector<uint8_t>* base = &none;
    if (sqlite3_value_type(args[0]) != SQLITE_NULL) {
        if (!load_base(f, sqlite3_value_int64(args[0]))) {
            sqlite3_result_error(context, "a stored record's base is missing", -1);
            return;
        }
        base = &f.base;
    }
    const auto* encoded = static_cast<const uint8_t*>(sqlite3_value_blob(args[1]));
    const auto length = static_cast<std::size_t>(sqlite3_value_bytes(args[1]));
    try {
        const std::vector<uint8_t> record = expand_record(*base, encoded, length);
        sqlite3_result_blob(context, record.data(), static_cast<int>(record.size()),
                            SQLITE_TRANSIENT);
    } catch (const std::exception& e) {
        sqlite3_result_error(context, e.what(), -1);
    }
}

}  // namespace

RecordFunctions* register_record_functions(sqlite3* db) {
    auto* functions = new RecordFunctions;
    functions->db = db;
    const int rc = sqlite3_create_function_v2(
        db, "record_bytes", 2, SQLITE_UTF8 | SQLITE_DIRECTONLY, functions, record_bytes, nullptr,
        nullptr, [](void* p) { delete static_cast<RecordFunctions*>(p); });
    if (rc != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
    return functions;
}

void forget_bases(RecordFunctions* functions) {
    if (functions != nullptr) functions->base_id = -1;
}

void release_record_functions(RecordFunctions* functions) {
    if (functions == nullptr) return;
    sqlite3_finalize(functions->read_base);
    functions->read_base = nullptr;
    functions->base_id = -1;
}

}  // namespace kavren::host
