#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kavren::host {

struct HttpRequest {
    std::string method;
    std::string path;  // decoded, without the query
    std::map<std::string, std::string> query;
};

struct HttpResponse {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct HttpLimits {
    int max_connections = 16;              // requests answered at once (worker threads)
    int request_timeout_ms = 5000;         // whole time a client gets to send its request
    int max_request_bytes = 8192;          // request line and headers
    std::size_t max_history_rows = 10000;  // rows one history request may return
    int max_open_connections = 512;        // more wait to be accepted
    int reply_chunk_timeout_ms = 30000;    // time a client gets to take each 64 KiB of a reply
};

}  // namespace kavren::host
