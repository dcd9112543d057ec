#include "apps/common/plugin_output.h"

namespace kavren::app {

void PluginLineLog::put(char c) {
    if (!sink_) return;
    if (c == '\n') {
        sink_(line_);
        line_.clear();
    } else if (line_.size() < 4096) {
        line_ += c;
    }
}

int PluginLineLog::overflow(int ch) {
    if (ch != traits_type::eof()) put(static_cast<char>(ch));
    return traits_type::not_eof(ch);
}

std::streamsize PluginLineLog::xsputn(const char* text, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i) put(text[i]);
    return count;
}

}  // namespace kavren::app
