#pragma once

// What the in-process tests of the host's parts share: a folder for their files, and a sink that
// keeps what the history hands on.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "apps/host/round/round_result.h"
#include "apps/host/round/round_sink.h"

namespace testing_support {

// Every file of a test program lives in one folder of the run's own, removed when the run passed
// (kept, and named, for a look when it failed).
class ScratchFolder : public testing::Environment {
  public:
    explicit ScratchFolder(std::string prefix) : prefix_(std::move(prefix)) {}
    static std::string& path() {
        static std::string folder;
        return folder;
    }
    void SetUp() override {
        std::string pattern = testing::TempDir() + "/" + prefix_ + "_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        path() = pattern;
    }
    void TearDown() override {
        if (testing::UnitTest::GetInstance()->Failed()) {
            std::cerr << "the test files are kept in " << path() << "\n";
            return;
        }
        std::error_code failed;
        std::filesystem::remove_all(path(), failed);
        if (failed) std::cerr << "cannot remove " << path() << ": " << failed.message() << "\n";
    }

  private:
    std::string prefix_;
};

inline std::string temp_path(const std::string& name) { return ScratchFolder::path() + "/" + name; }

// A sink that keeps what it is given: `live` the rounds as soon as they are judged, `rounds` the
// same once they are committed.
struct Collecting : kavren::host::RoundSink {
    const char* name() const override { return "collecting"; }
    std::mutex lock;
    std::vector<std::shared_ptr<const kavren::host::StoredRound>> live, rounds;
    void take(const kavren::host::StoredBatch& batch) override {
        std::lock_guard<std::mutex> hold(lock);
        live.insert(live.end(), batch.begin(), batch.end());
    }
    void take_committed(const kavren::host::StoredBatch& batch) override {
        std::lock_guard<std::mutex> hold(lock);
        rounds.insert(rounds.end(), batch.begin(), batch.end());
    }
    std::size_t count() {
        std::lock_guard<std::mutex> hold(lock);
        return rounds.size();
    }
    std::size_t live_count() {
        std::lock_guard<std::mutex> hold(lock);
        return live.size();
    }
};

}  // namespace testing_support
