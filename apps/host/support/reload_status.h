#pragma once

#include <atomic>
#include <cstdint>

namespace kavren::host {

// How the configuration's reloads went, as /metrics says it: written by the pipeline, read by
// the HTTP sink from any thread. The configuration the host started with counts as loaded.
struct ReloadStatus {
    std::atomic<bool> last_successful{true};
    std::atomic<int64_t> last_success_unix_s{0};  // the start, or the last applied reload
    std::atomic<uint64_t> successes{0};
    std::atomic<uint64_t> failures{0};
};

}  // namespace kavren::host
