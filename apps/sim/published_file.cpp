#include "apps/sim/published_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace kavren::sim {

void publish_in_file(const std::string& file, const std::string& text) {
    const std::string temporary = file + ".tmp";
    std::ofstream out(temporary);
    out << text << "\n";
    out.close();
    if (!out || std::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + file + ": " + std::strerror(error));
    }
}

}  // namespace kavren::sim
