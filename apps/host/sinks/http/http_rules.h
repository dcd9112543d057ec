#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kavren::host {

// Reads a password file: one "user:password" per line; empty lines and lines starting with '#'
// are skipped. Throws std::runtime_error when it cannot be read or holds no entry.
std::vector<std::string> read_http_password_file(const std::string& path);
// Whether a request's Host header may be served without a password: an IP literal (with or
// without a port, IPv6 in brackets), localhost, or one of `names` (any case); no header at all
// too.
bool host_header_allowed(const char* header, const std::vector<std::string>& names);
// Whether an Authorization header carries one of `credentials` ("user:password") as HTTP basic
// authentication; any header when there are none.
bool basic_authorized(std::string_view header, const std::vector<std::string>& credentials);
// Standard base64 decoding; false for text that is not base64.
bool base64_decode(const std::string& text, std::string& out);
// The names, this machine's and NAME.local added.
std::vector<std::string> with_this_machine(std::vector<std::string> names);

// A request target split at its '?': the path percent-decoded, the query's names and values
// decoded as a form's ('+' a space); a name given twice keeps its last value, an empty name is
// dropped.
std::string decode_path(std::string_view path);
std::map<std::string, std::string> decode_query(std::string_view query);

}  // namespace kavren::host
