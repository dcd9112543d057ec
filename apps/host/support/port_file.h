#pragma once

#include <string>

namespace kavren::host {

// Writes the port a server listens on to `path`, whole, then renamed into place: a reader never
// sees half a number. Throws std::runtime_error ("cannot write the <what> port to <path>").
void write_port_file(const std::string& path, int port, const std::string& what);

}  // namespace kavren::host
