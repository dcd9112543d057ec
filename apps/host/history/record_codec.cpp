#include "apps/host/history/record_codec.h"

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kavren::host {

namespace {

constexpr std::size_t kRunMax = 15;

struct Base {
    const uint8_t* bytes;
    std::size_t length;
};

uint8_t xor_at(Base base, const uint8_t* record, std::size_t i) {
    return static_cast<uint8_t>(record[i] ^ (i < base.length ? base.bytes[i] : 0));
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

std::string compact_record(const uint8_t* base_bytes, std::size_t base_length,
                           const uint8_t* record, std::size_t length) {
    const Base base{base_bytes, base_length};
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

std::vector<uint8_t> expand_record(const uint8_t* base, std::size_t base_length,
                                   const uint8_t* encoded, std::size_t length) {
    std::size_t at = 0;
    const std::size_t size = get_varint(encoded, length, at);
    if (size > 65536) throw std::runtime_error("a stored record is damaged (its length)");
    std::vector<uint8_t> record(size, 0);
    for (std::size_t i = 0; i < size && i < base_length; ++i) record[i] = base[i];
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

namespace {

// How many bytes of a and b differ, a word at a time.
std::size_t differing_bytes(const uint8_t* a, const uint8_t* b, std::size_t length) {
    std::size_t count = 0, i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t x = 0, y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        uint64_t d = x ^ y;
        d |= d >> 4;  // the low bit of each byte: any bit of that byte
        d |= d >> 2;
        d |= d >> 1;
        // The low bits summed into the top byte (at most 8: no carry).
        count +=
            static_cast<std::size_t>(((d & 0x0101010101010101ULL) * 0x0101010101010101ULL) >> 56);
    }
    for (; i < length; ++i) count += a[i] != b[i];
    return count;
}

// The index of the record of `set` (records of `length` bytes) nearest to `record`. Rounds that
// cycle step through the set in order: the record after the last one taken (`hint`) is tried
// first, and taken when it is as near as that one was and differs in a few bytes only.
std::size_t nearest_of(const std::vector<uint8_t>& set, std::size_t length, const uint8_t* record,
                       std::size_t& hint, std::size_t& hint_differs) {
    const std::size_t records = set.size() / length;
    const std::size_t next = (hint + 1) % records;
    std::size_t fewest = differing_bytes(set.data() + next * length, record, length);
    std::size_t best = next;
    if (fewest > hint_differs || fewest > length / 16)
        for (std::size_t k = 0; k < records && fewest > 0; ++k) {
            const std::size_t differ = differing_bytes(set.data() + k * length, record, length);
            if (differ < fewest) {
                fewest = differ;
                best = k;
            }
        }
    hint = best;
    hint_differs = fewest;
    return best;
}

// An estimate of the bytes that compressing the records of `set` gives, to spare compressing a
// set that could not pay off: its first record, and of each next one the bytes that differ from
// the nearest record before it, halved.
std::size_t compressed_estimate(const std::vector<uint8_t>& set, std::size_t length) {
    std::size_t bytes = length;
    for (std::size_t i = 1; i < kBaseSetRecords; ++i) {
        std::size_t fewest = length;
        for (std::size_t j = 0; j < i && fewest > 0; ++j)
            fewest = std::min(
                fewest, differing_bytes(set.data() + j * length, set.data() + i * length, length));
        bytes += fewest;
    }
    return bytes / 2;  // differing bytes are literals to zlib, which may shorten them
}

// Whether a base of the records of `set` (kBaseSetRecords of `length` bytes, compressed to
// `compressed` bytes) would take a tenth fewer bytes per record than bases of one record (less is
// not worth a set's decompression on every read of its base). Judged on the records at hand:
// their first half taken as the base, the second as the records after it.
bool set_pays_off(const std::vector<uint8_t>& set, std::size_t length, std::size_t compressed) {
    constexpr std::size_t half = kBaseSetRecords / 2;
    double single = 0, nearest = 0;
    for (std::size_t i = half; i < kBaseSetRecords; ++i) {
        const uint8_t* record = set.data() + i * length;
        single +=
            static_cast<double>(differing_bytes(set.data() + (half - 1) * length, record, length));
        std::size_t fewest = length;
        for (std::size_t j = 0; j < half; ++j)
            fewest = std::min(fewest, differing_bytes(set.data() + j * length, record, length));
        nearest += 1.0 + static_cast<double>(fewest);  // its index comes first
    }
    const double per_set = static_cast<double>(compressed) / kRecordsPerBaseSet + nearest / half;
    const double per_single = static_cast<double>(length) / kRecordsPerBase + single / half;
    return per_set < 0.9 * per_single;
}

// A base of several records as stored: their length, then all of them zlib-compressed.
std::string compress_set(const std::vector<uint8_t>& set, std::size_t length) {
    std::string out;
    put_varint(out, length);
    uLongf size = compressBound(static_cast<uLong>(set.size()));
    const std::size_t at = out.size();
    out.resize(at + size);
    if (compress2(reinterpret_cast<Bytef*>(&out[at]), &size, set.data(),
                  static_cast<uLong>(set.size()), Z_BEST_SPEED) != Z_OK)
        throw std::runtime_error("cannot compress a record's base");
    out.resize(at + size);
    return out;
}

std::vector<uint8_t> expand_set(const uint8_t* stored, std::size_t size, std::size_t records) {
    std::size_t at = 0;
    const std::size_t length = get_varint(stored, size, at);
    // Records of a few hundred bytes, kBaseSetRecords of them: a damaged count or length asks
    // for no more than a megabyte.
    if (length == 0 || length > 4096 || records > 256)
        throw std::runtime_error("a stored record's base is damaged");
    std::vector<uint8_t> set(length * records);
    uLongf expanded = static_cast<uLongf>(set.size());
    if (uncompress(set.data(), &expanded, stored + at, static_cast<uLong>(size - at)) != Z_OK ||
        expanded != set.size())
        throw std::runtime_error("a stored record's base is damaged");
    return set;
}

}  // namespace

RecordBases::RecordBases(sqlite3* db) : db_(db) {
    if (sqlite3_prepare_v3(db,
                           "INSERT INTO record_bases (device, record, records) VALUES (?, ?, ?)",
                           -1, SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
}

RecordBases::~RecordBases() { sqlite3_finalize(insert_); }

void RecordBases::store_base(const std::string& device, const uint8_t* bytes, std::size_t size,
                             std::size_t records) {
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, device.data(), static_cast<int>(device.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_, 2, bytes, static_cast<int>(size), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert_, 3, static_cast<int64_t>(records));
    const int rc = sqlite3_step(insert_);
    sqlite3_reset(insert_);
    if (rc != SQLITE_DONE) {
        meters_.erase(device);
        throw std::runtime_error(std::string("cannot store a record's base: ") +
                                 sqlite3_errmsg(db_));
    }
}

void RecordBases::make_base(const std::string& device, Meter& meter, const uint8_t* record) {
    const std::size_t length = meter.length;
    const std::size_t held = (kBaseSetRecords - 1) * length;
    if (length > 0 && meter.recent.size() >= held) {
        std::vector<uint8_t> set(meter.recent.end() - static_cast<std::ptrdiff_t>(held),
                                 meter.recent.end());
        set.insert(set.end(), record, record + length);
        // Compressing is the dear part: only when a set could pay off.
        if (set_pays_off(set, length, compressed_estimate(set, length))) {
            const std::string stored = compress_set(set, length);
            if (set_pays_off(set, length, stored.size())) {
                store_base(device, reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                           kBaseSetRecords);
                meter.base = std::move(set);
                meter.base_records = kBaseSetRecords;
                meter.hint_differs = 0;  // the last base's nearness would take poorer records
                meter.base_id = sqlite3_last_insert_rowid(db_);
                return;
            }
        }
    }
    store_base(device, record, length, 1);
    meter.base.assign(record, record + length);
    meter.base_records = 1;
    meter.base_id = sqlite3_last_insert_rowid(db_);
}

int64_t RecordBases::encode(const std::string& device, const uint8_t* record, std::size_t length,
                            std::string& encoded) {
    Meter& meter = meters_[device];
    if (meter.length != length) {
        meter.length = length;
        meter.recent.clear();
        meter.base_id = 0;
    }
    const int limit = meter.base_records > 1 ? kRecordsPerBaseSet : kRecordsPerBase;
    if (meter.base_id == 0 || meter.uses >= limit) {
        make_base(device, meter, record);
        meter.uses = 0;
    }
    ++meter.uses;
    if (meter.base_records == 1) {
        encoded = compact_record(meter.base, record, length);
    } else {
        const std::size_t k =
            nearest_of(meter.base, length, record, meter.hint, meter.hint_differs);
        encoded.assign(1, static_cast<char>(k));
        encoded += compact_record(meter.base.data() + k * length, length, record, length);
    }
    // The last records are at its end; the older half goes once it holds twice what a set takes.
    const std::size_t held = (kBaseSetRecords - 1) * length;
    if (meter.recent.size() >= 2 * held)
        meter.recent.erase(meter.recent.begin(),
                           meter.recent.begin() + static_cast<std::ptrdiff_t>(held));
    meter.recent.insert(meter.recent.end(), record, record + length);
    return meter.base_id;
}

namespace {

// A base as read: its records (one, or a set), each `length` bytes.
struct ReadBase {
    int64_t id = -1;
    std::size_t records = 1;
    std::size_t length = 0;
    std::vector<uint8_t> bytes;
    uint64_t used = 0;
};

// The bases a reader keeps: a read in the order of storing (export, MQTT's backfill of several
// meters) goes from meter to meter.
constexpr std::size_t kBasesKept = 16;

}  // namespace

struct RecordFunctions {
    sqlite3* db = nullptr;
    sqlite3_stmt* read_base = nullptr;
    std::vector<ReadBase> bases;
    uint64_t reads = 0;
    ~RecordFunctions() { sqlite3_finalize(read_base); }
};

namespace {

// Base `id`, read into the kept ones if it is not there; nullptr when there is no such base.
const ReadBase* load_base(RecordFunctions& f, int64_t id) {
    ++f.reads;
    for (auto& base : f.bases)
        if (base.id == id) {
            base.used = f.reads;
            return &base;
        }
    if (f.read_base == nullptr &&
        sqlite3_prepare_v2(f.db, "SELECT record, records FROM record_bases WHERE id = ?", -1,
                           &f.read_base, nullptr) != SQLITE_OK)
        return nullptr;
    sqlite3_reset(f.read_base);
    sqlite3_bind_int64(f.read_base, 1, id);
    if (sqlite3_step(f.read_base) != SQLITE_ROW) {
        sqlite3_reset(f.read_base);
        return nullptr;
    }
    ReadBase read;
    read.id = id;
    read.used = f.reads;
    const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(f.read_base, 0));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(f.read_base, 0));
    const int64_t records = sqlite3_column_int64(f.read_base, 1);
    try {
        if (records > 1) {
            read.records = static_cast<std::size_t>(records);
            read.bytes = expand_set(bytes, size, read.records);
            read.length = read.bytes.size() / read.records;
        } else {
            read.bytes.assign(bytes, bytes + (bytes != nullptr ? size : 0));
            read.length = read.bytes.size();
        }
    } catch (const std::exception&) {
        sqlite3_reset(f.read_base);
        throw;
    }
    sqlite3_reset(f.read_base);
    if (f.bases.size() < kBasesKept) {
        f.bases.push_back(std::move(read));
        return &f.bases.back();
    }
    auto oldest = std::min_element(f.bases.begin(), f.bases.end(),
                                   [](const auto& a, const auto& b) { return a.used < b.used; });
    *oldest = std::move(read);
    return &*oldest;
}

std::vector<uint8_t> decode(RecordFunctions& f, sqlite3_value* base_id, const uint8_t* encoded,
                            std::size_t length) {
    if (sqlite3_value_type(base_id) == SQLITE_NULL)
        return expand_record(nullptr, 0, encoded, length);
    const ReadBase* base = load_base(f, sqlite3_value_int64(base_id));
    if (base == nullptr) throw std::runtime_error("a stored record's base is missing");
    if (base->records == 1) return expand_record(base->bytes, encoded, length);
    if (length == 0 || encoded[0] >= base->records)
        throw std::runtime_error("a stored record is damaged (its base's record)");
    return expand_record(base->bytes.data() + encoded[0] * base->length, base->length, encoded + 1,
                         length - 1);
}

void record_bytes(sqlite3_context* context, int, sqlite3_value** args) {
    auto& f = *static_cast<RecordFunctions*>(sqlite3_user_data(context));
    const auto* encoded = static_cast<const uint8_t*>(sqlite3_value_blob(args[1]));
    const auto length = static_cast<std::size_t>(sqlite3_value_bytes(args[1]));
    try {
        const std::vector<uint8_t> record = decode(f, args[0], encoded, length);
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
    if (functions == nullptr) return;
    // The functions run under the connection's mutex, on whichever thread reads through it.
    sqlite3_mutex* mutex = sqlite3_db_mutex(functions->db);
    sqlite3_mutex_enter(mutex);
    functions->bases.clear();
    sqlite3_mutex_leave(mutex);
}

void release_record_functions(RecordFunctions* functions) {
    if (functions == nullptr) return;
    sqlite3_finalize(functions->read_base);
    functions->read_base = nullptr;
    functions->bases.clear();
}

}  // namespace kavren::host
