#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace kavren::host {

// The host's history in SQLite (WAL): every stored record, and every alarm raised or cleared.
// Each write is its own transaction, so a killed host loses nothing it had stored.
class HistoryStore {
  public:
    // Opens or creates the database. Throws std::runtime_error when it cannot, or when the file is
    // not a database of this layout; an existing file is never overwritten.
    explicit HistoryStore(const std::string& path);
    ~HistoryStore();

    // origin: "round" for a polled round, "restore" for a record restored at start-up.
    void save_record(const std::string& device, uint32_t data_id, const std::string& time,
                     const uint8_t* record, std::size_t length, const char* origin);
    std::optional<std::vector<uint8_t>> newest_record(const std::string& device);
    long record_count(const std::string& device);

    void save_alarm(const std::string& device, const std::string& key, bool raised,
                    const std::string& description, const std::string& time);
    struct ActiveAlarm {
        std::string description;
        std::string since;
    };
    // The alarms whose last event was a raise, by key.
    std::map<std::string, ActiveAlarm> active_alarms(const std::string& device);

    const std::string& path() const { return path_; }

    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

  private:
    void exec(const char* sql);
    std::string path_;
    sqlite3* db_ = nullptr;
};

}  // namespace kavren::host
