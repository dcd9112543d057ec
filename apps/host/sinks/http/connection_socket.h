#pragma once

#include <string>

namespace kavren::host {

// The descriptor of this process's TCP socket connected from `remote_address` (text, as
// inet_ntop writes it) port `remote_port` to local port `local_port`; -1 when there is none.
// The embedded server hands out no descriptors: this finds one among the process's own.
int connection_socket(int local_port, const std::string& remote_address, int remote_port);

}  // namespace kavren::host
