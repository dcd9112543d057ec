#pragma once

#include <string>
#include <string_view>

#include "apps/host/sinks/http/http_message.h"

namespace kavren::host {

// The bytes of a reply as they go out: the status line, Content-Type, Content-Length,
// Cache-Control (the response's own, else no-store), Connection: close and the response's other
// headers, then the body (none
// for HEAD). A text reply varies by Accept-Encoding and is gzip-compressed for a client that
// takes gzip (`accept_encoding`: that header's value, empty without one).
std::string reply_text(HttpResponse response, std::string_view accept_encoding, bool head);
// A reply of `status` whose JSON body names the error.
HttpResponse error_reply(int status, const std::string& message);
// 405 for a method other than GET and HEAD, 413 for a request with a body: nothing here takes a
// body, so it is refused before a byte of it is read.
HttpResponse refusal(int status);
// The whole text compressed as one gzip member; false when zlib fails.
bool gzip_compress(const std::string& data, std::string& out);

}  // namespace kavren::host
