#include "apps/host/support/port_file.h"

#include <cstdio>
#include <stdexcept>

namespace kavren::host {

void write_port_file(const std::string& path, int port, const std::string& what) {
    const std::string partial = path + ".partial";
    FILE* f = std::fopen(partial.c_str(), "w");
    if (f == nullptr || std::fprintf(f, "%d\n", port) < 0 || std::fclose(f) != 0 ||
        std::rename(partial.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot write the " + what + " port to " + path);
}

}  // namespace kavren::host
