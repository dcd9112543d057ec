#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kavren::host {

// A stored record is kept as its difference from a base of the same meter, stored once in
// record_bases for the next rows of that meter. Most of a record (the setup, the six limits, the
// flags, the high bytes of every measured value) is the same from one round to the next; only
// what differs is written.
//
// A base holds one record, or the meter's last kBaseSetRecords records when its rounds come back
// to earlier states (values that alternate or cycle): each record is then encoded against the
// nearest of them, whose index comes first. Such a base is stored zlib-compressed, after its
// records' length (varint).
//
// The encoding against one record: the record's length (varint), then the record XOR the base
// (the base read as zeros past its end) as tokens: a byte whose high nibble counts zero bytes and
// low nibble the literal bytes that follow it. Zero bytes at the end are left out.
std::string compact_record(const uint8_t* base, std::size_t base_length, const uint8_t* record,
                           std::size_t length);
// The record `encoded` stands for; throws std::runtime_error for bytes no encoder wrote.
std::vector<uint8_t> expand_record(const uint8_t* base, std::size_t base_length,
                                   const uint8_t* encoded, std::size_t length);
inline std::string compact_record(const std::vector<uint8_t>& base, const uint8_t* record,
                                  std::size_t length) {
    return compact_record(base.data(), base.size(), record, length);
}
inline std::vector<uint8_t> expand_record(const std::vector<uint8_t>& base, const uint8_t* encoded,
                                          std::size_t length) {
    return expand_record(base.data(), base.size(), encoded, length);
}

// How many records of a meter share a base of one record: a stored base costs about a record,
// and later records drift from it as the values move.
constexpr int kRecordsPerBase = 64;
// The records a base of several holds, and how many records share it: it costs more than one
// record, and the states it holds stay useful as long as the meter keeps coming back to them.
constexpr std::size_t kBaseSetRecords = 32;
constexpr int kRecordsPerBaseSet = 256;

// The writer's side: each meter's current base, a new one written into record_bases (within the
// caller's transaction) for the meter's first record on this connection, when a base has served
// its records, and when a record's length changes.
class RecordBases {
  public:
    explicit RecordBases(sqlite3* db);
    ~RecordBases();
    // The record encoded against its base into `encoded`; returns the base's id.
    int64_t encode(const std::string& device, const uint8_t* record, std::size_t length,
                   std::string& encoded);
    // After a rollback: the bases written in it are gone.
    void forget() { meters_.clear(); }

    RecordBases(const RecordBases&) = delete;
    RecordBases& operator=(const RecordBases&) = delete;

  private:
    struct Meter {
        int64_t base_id = 0;
        std::size_t length = 0;     // of the meter's records, and of each record in the base
        std::vector<uint8_t> base;  // its records, one after the other
        std::size_t base_records = 0;
        int uses = 0;
        std::size_t hint = 0, hint_differs = 0;  // the base's record last taken, and its difference
        std::vector<uint8_t> recent;             // the last records, oldest first
    };
    void make_base(const std::string& device, Meter& meter, const uint8_t* record);
    void store_base(const std::string& device, const uint8_t* bytes, std::size_t size,
                    std::size_t records);
    sqlite3* db_;
    sqlite3_stmt* insert_ = nullptr;
    std::map<std::string, Meter> meters_;
};

// The SQL function record_bytes(base, encoded) on this connection: the stored record's exact
// bytes, its base read from record_bases (the last 16 read are kept for the next rows). Every
// connection that reads records registers it. Returns a handle for forget_bases().
struct RecordFunctions;
RecordFunctions* register_record_functions(sqlite3* db);
// After a rollback: a base the connection read may have gone with it.
void forget_bases(RecordFunctions* functions);
// Before the connection is closed: the statement the functions keep is finalized (SQLite closes
// no connection with a statement open, and the functions go only with the connection).
void release_record_functions(RecordFunctions* functions);

}  // namespace kavren::host
