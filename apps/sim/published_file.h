#pragma once

#include <string>

namespace kavren::sim {

// Writes `text` and a newline to `file` under a temporary name, then renames it: a reader never
// sees half of it. Throws std::runtime_error naming the file.
void publish_in_file(const std::string& file, const std::string& text);

}  // namespace kavren::sim
