#pragma once

// Running kavren-host against kavren-sim in a test: pinned registers, a history file, and what
// the driver's decoding makes of the registers.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/host/history/record_codec.h"
#include "tests/apps/programs.h"
#include "tests/support/plugin_under_test.h"

namespace testing_support {

inline const std::string kHost = KAVREN_HOST_PATH;
inline const std::string kSim = KAVREN_SIM_PATH;

struct StoredRecord {
    long long id;
    std::string origin;
    long long data_id;
    std::vector<uint8_t> record;
};

inline std::vector<StoredRecord> stored_records(const std::string& db, const std::string& device) {
    sqlite3* handle = nullptr;
    std::vector<StoredRecord> rows;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << db;
        sqlite3_close(handle);
        return rows;
    }
    auto* functions = kavren::host::register_record_functions(handle);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(handle,
                       "SELECT id, origin, data_id, record_bytes(base, record) FROM records WHERE "
                       "device = ? ORDER BY id",
                       -1, &s, nullptr);
    sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(s) == SQLITE_ROW) {
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(s, 3));
        rows.push_back({sqlite3_column_int64(s, 0),
                        reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
                        sqlite3_column_int64(s, 2),
                        std::vector<uint8_t>(bytes, bytes + sqlite3_column_bytes(s, 3))});
    }
    sqlite3_finalize(s);
    kavren::host::release_record_functions(functions);
    sqlite3_close(handle);
    return rows;
}

inline std::vector<std::string> alarm_events(const std::string& db) {
    sqlite3* handle = nullptr;
    std::vector<std::string> events;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(handle,
                       "SELECT key || ' ' || state || ' ' || description FROM alarms ORDER BY id",
                       -1, &s, nullptr);
    while (s != nullptr && sqlite3_step(s) == SQLITE_ROW)
        events.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return events;
}

// Every register of the seven blocks pinned to a known value.
inline RegisterImage pinned_image() {
    RegisterImage image;
    image.set(0, 0x0101);
    image.set(1, 3);
    image.set_pair(2, 100000);
    image.set_pair(4, 20000);
    for (int k = 0; k < 7; ++k) image.set(256 + k, static_cast<uint16_t>(0x1111 * k));
    image.set(258, 0x0F03);
    image.set(259, 0xFFFE);
    image.set(262, 0x0000);
    for (int i = 0; i < 6; ++i) {
        image.set(272 + 5 * i, static_cast<uint16_t>(i + 1));
        image.set_pair(273 + 5 * i, static_cast<uint32_t>(22000 + 100 * i));
        image.set(275 + 5 * i, static_cast<uint16_t>(7 + i));
        image.set(276 + 5 * i, static_cast<uint16_t>(0xFFF0 + i));
    }
    image.set(308, 0x1234);
    for (int k = 0; k < 8; ++k) image.set(4096 + k, static_cast<uint16_t>(23000 + 10 * k));
    for (int k = 0; k < 5; ++k) image.set(4104 + k, static_cast<uint16_t>(1500 + k));
    for (int k = 0; k < 12; ++k) image.set(4109 + k, static_cast<uint16_t>(0xFF00 + k));
    image.set(4121, 0xFC18);
    image.set(4122, 1000);
    image.set(4123, 950);
    image.set(4124, 0);
    image.set(4125, 5000);
    for (int k = 0; k < 8; ++k) {
        image.set_pair(8192 + 2 * k, static_cast<uint32_t>(-1000 * k));
        image.set_pair(8448 + 2 * k, 16777217u + static_cast<uint32_t>(k));
    }
    return image;
}

inline std::string registers_json(const RegisterImage& image) {
    std::string json = "{";
    for (const auto& r : image.registers) {
        json += (json.size() > 1 ? ", \"" : "\"") + std::to_string(r.first) +
                "\": " + std::to_string(r.second);
    }
    return json + "}";
}

// What the driver makes of the image, through the same decoding the tests pin bit by bit.
inline std::vector<uint8_t> decoded(const RegisterImage& image) {
    MeterUnderTest m;
    CapturedStdout quiet;
    m.run_round(image);
    return m.record_bytes();
}

// The JSON lines of a log that also holds the host's log lines (standard error).
inline std::string json_only(const std::string& text) {
    std::string kept;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.front() == '{') kept += line + "\n";
    }
    return kept;
}

inline void expect_same_measurements(const std::vector<uint8_t>& stored,
                                     const std::vector<uint8_t>& expected) {
    ASSERT_EQ(stored.size(), 259u);
    EXPECT_TRUE(std::equal(stored.begin() + 4, stored.begin() + 252, expected.begin() + 4))
        << "offsets 4 to 251 differ from the decoded registers";
}

class EndToEnd : public ::testing::Test {
  protected:
    std::string dir = make_temp_dir();
    std::string db = dir + "/history.db";
    std::string registers = dir + "/registers.json";
    RegisterImage image = pinned_image();
    int sims_started_ = 0;

    EndToEnd() { write_file(registers, registers_json(image)); }
    ~EndToEnd() override { remove_folder(dir); }

    // A simulator on Modbus TCP (or `serve`: --rtu-over-tcp). With port 0 it listens on a free
    // port and `port` is set to it; otherwise it listens on `port` again (a simulator that comes
    // back where it was).
    std::unique_ptr<Background> tcp_sim(int& port, std::vector<std::string> extra = {},
                                        const std::string& serve = "--tcp") {
        const std::string name = dir + "/sim-" + std::to_string(++sims_started_);
        std::vector<std::string> args{kSim, serve, std::to_string(port), "--registers", registers};
        if (port == 0) args.insert(args.end(), {"--port-file", name + ".port"});
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Background>(args, name + ".log");
        if (port == 0) {
            port = port_from_file(name + ".port");
            EXPECT_NE(port, 0) << read_file(name + ".log");
        } else {
            EXPECT_TRUE(wait_for_port(port)) << read_file(name + ".log");
        }
        return sim;
    }
    std::unique_ptr<Background> pty_sim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{kSim,           "--pty",       "--pty-link",
                                      dir + "/meter", "--registers", registers};
        args.insert(args.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Background>(args, dir + "/sim-pty.log");
        EXPECT_TRUE(wait_for_file(dir + "/meter")) << read_file(dir + "/sim-pty.log");
        return sim;
    }
    // A simulator killed outright cannot remove its link, and the pseudo-terminal the link names
    // goes to whichever program opens one next (another test's simulator): the link goes with
    // the simulator, as an unplugged adapter's name does.
    void kill_pty_sim(std::unique_ptr<Background>& sim) {
        sim->kill_now();
        unlink((dir + "/meter").c_str());
    }
    Finished host(std::vector<std::string> args) {
        args.insert(args.begin(), kHost);
        args.insert(args.end(), {"--db", db, "--quiet-plugin"});
        return run_program(args, 120);
    }
};

}  // namespace testing_support
