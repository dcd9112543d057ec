#include "apps/host/history/history_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace kavren::host {

namespace {

// A file this process opened to claim it: by its identity, with the number of its stores.
struct Claimed {
    dev_t device;
    ino_t inode;
    int fd;
    int stores;
};

std::mutex claims_lock;
std::vector<Claimed>& claims() {
    static std::vector<Claimed> files;
    return files;
}

// The file's slot, opened on first use. Under claims_lock.
std::size_t slot_of(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) != 0)
        throw std::runtime_error("cannot open history " + path + ": " + std::strerror(errno));
    std::vector<Claimed>& files = claims();
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].device == file.st_dev && files[i].inode == file.st_ino) return i;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    // Replaced between the two looks: the descriptor says which file it is.
    if (fd < 0 || fstat(fd, &file) != 0)
        throw std::runtime_error("cannot open history " + path + ": " + std::strerror(errno));
    files.push_back(Claimed{file.st_dev, file.st_ino, fd, 0});
    return files.size() - 1;
}

}  // namespace

HistoryClaim::HistoryClaim(const std::string& path) {
    std::lock_guard<std::mutex> hold(claims_lock);
    slot_ = slot_of(path);
    Claimed& claimed = claims()[slot_];
    if (claimed.stores == 0 && flock(claimed.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw std::runtime_error("history " + path +
                                     " is in use by another kavren-host (a history belongs to "
                                     "one running host)");
        throw std::runtime_error("cannot lock history " + path + ": " + std::strerror(errno));
    }
    ++claimed.stores;
}

HistoryClaim::~HistoryClaim() {
    std::lock_guard<std::mutex> hold(claims_lock);
    Claimed& claimed = claims()[slot_];
    if (--claimed.stores == 0) flock(claimed.fd, LOCK_UN);
}

}  // namespace kavren::host
