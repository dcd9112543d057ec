#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace kavren::host {

// A stored record is kept as its difference from a base: a full record of the same meter,
// stored once in record_bases for the next rows of that meter. Most of a record (the setup, the
// six limits, the flags, the high bytes of every measured value) is the same from one round to
// the next; only what differs is written.
//
// The encoding: the record's length (varint), then the record XOR its base (the base read as
// zeros past its end) as tokens: a byte whose high nibble counts zero bytes and low nibble the
// literal bytes that follow it. Zero bytes at the end are left out.
std::string compact_record(const std::vector<uint8_t>& base, const uint8_t* record,
                           std::size_t length);
// The record `encoded` stands for; throws std::runtime_error for bytes no encoder wrote.
std::vector<uint8_t> expand_record(const std::vector<uint8_t>& base, const uint8_t* encoded,
                                   std::size_t length);

// How many records of a meter share one base: a stored base costs about a record, and later
// records drift from it as the values move.
constexpr int kRecordsPerBase = 64;

// The writer's side: each meter's current base, a new one written into record_bases (within the
// caller's transaction) for the meter's first record on this connection, every kRecordsPerBase
// records, and when a record's length changes.
class RecordBases {
  public:
    explicit RecordBases(sqlite3* db);
    ~RecordBases();
    // The record encoded against its base into `encoded`; returns the base's id.
    int64_t encode(const std::string& device, const uint8_t* record, std::size_t length,
                   std::string& encoded);
    // After a rollback: the bases written in it are gone.
    void forget() { bases_.clear(); }

    RecordBases(const RecordBases&) = delete;
    RecordBases& operator=(const RecordBases&) = delete;

  private:
    struct Base {
        int64_t id = 0;
        std::vector<uint8_t> bytes;
        int uses = 0;
    };
    sqlite3* db_;
    sqlite3_stmt* insert_ = nullptr;
    std::map<std::string, Base> bases_;
};

// The SQL function record_bytes(base, encoded) on this connection: the stored record's exact
// bytes, its base read from record_bases (the last one kept for the next rows). Every
// connection that reads records registers it. Returns a handle for forget_bases().
struct RecordFunctions;
RecordFunctions* register_record_functions(sqlite3* db);
// After a rollback: a base the connection read may have gone with it.
void forget_bases(RecordFunctions* functions);
// Before the connection is closed: the statement the functions keep is finalized (SQLite closes
// no connection with a statement open, and the functions go only with the connection).
void release_record_functions(RecordFunctions* functions);

}  // namespace kavren::host
