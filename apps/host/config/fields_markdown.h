#pragma once

#include <string>

namespace kavren::host {

// The table of configuration fields in Markdown, as the documentation carries it between its
// markers `<!-- fields:begin -->` and `<!-- fields:end -->` (kavren-host --help-fields-markdown
// prints it; scripts/fields-table.sh puts it in place).
std::string fields_markdown();

}  // namespace kavren::host
