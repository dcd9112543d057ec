#pragma once

#include <string>

namespace kavren::host {

// A history belongs to one running host: two hosts storing into one file would each roll up
// only their own rounds, and each purge by its own clock. The first store of a process claims
// the file with an exclusive flock(2) on it, taken without waiting; a store of another process
// is then refused. Stores of the same process (the MQTT side's connection of its own) share the
// claim, which is let go when the last of them goes. Readers (export, the page's API) claim
// nothing and read a history in use.
//
// The lock is on the database file itself, so that it follows the file (a history replaced
// under a running host is another file) and leaves nothing behind. SQLite's own locks are
// record locks (fcntl), which a flock neither meets nor releases; but closing any descriptor of
// the file would release every record lock this process holds on it, those of its other
// connections too. So a descriptor opened here is never closed: it stays, one per file, until
// the process ends, and is locked again by the next claim.
class HistoryClaim {
  public:
    // Claims the file at `path`, which exists. Throws std::runtime_error naming the file when
    // another process holds it, or when it cannot be opened.
    explicit HistoryClaim(const std::string& path);
    ~HistoryClaim();

    HistoryClaim(const HistoryClaim&) = delete;
    HistoryClaim& operator=(const HistoryClaim&) = delete;

  private:
    std::size_t slot_;
};

}  // namespace kavren::host
