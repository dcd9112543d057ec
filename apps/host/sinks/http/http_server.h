#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct mg_context;
struct mg_connection;

namespace kavren::host {

class ReplyDeadlines;

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
    int max_connections = 16;              // requests served at once; more wait in a short queue
    int request_timeout_ms = 5000;         // whole time a client gets to send its request
    int max_request_bytes = 8192;          // request line and headers
    std::size_t max_history_rows = 10000;  // rows one history request may return
};

// The embedded HTTP server (civetweb): a fixed pool of worker threads, each request's line and
// headers read within a deadline for the whole of them (not per byte, so a client that trickles
// bytes is cut off), requests larger than the bound refused, no keep-alive. Only GET and HEAD
// without a body are served: any other method (405) or a body (413) is refused without reading
// the body, and the connection ends after the reply. A reply not taken within a minute is cut.
// Every request goes to one handler. With a password file, every request needs HTTP basic
// authentication; without one, a request whose Host header names another host is refused (403).
class HttpServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    using Log = std::function<void(const std::string&)>;

    // listen: "HOST:PORT" (port 0: any free port). password_file: lines "user:password".
    // Throws std::runtime_error when it cannot listen or read the password file.
    // host_names: names besides this machine's that requests may carry without a password.
    HttpServer(const std::string& listen, const HttpLimits& limits,
               const std::string& password_file, std::vector<std::string> host_names,
               Handler handler, Log log);
    ~HttpServer();

    int port() const { return port_; }
    const std::string& address() const { return address_; }

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

  private:
    static int on_request(::mg_connection* connection, void* self);
    static void send_reply(::mg_connection* connection, bool head, HttpResponse& response);
    bool authorized(const char* header) const;

    Handler handler_;
    Log log_;
    std::vector<std::string> credentials_;  // "user:password"
    std::vector<std::string> host_names_;   // this machine's, NAME.local and the configured ones
    std::unique_ptr<ReplyDeadlines> deadlines_;
    mg_context* context_ = nullptr;
    int port_ = 0;
    std::string address_;
};

// Reads a password file: one "user:password" per line; empty lines and lines starting with '#'
// are skipped. Throws std::runtime_error when it cannot be read or holds no entry.
std::vector<std::string> read_http_password_file(const std::string& path);
// Whether a request's Host header may be served without a password: an IP literal (with or
// without a port), localhost, or one of `names` (any case); no header at all too.
bool host_header_allowed(const char* header, const std::vector<std::string>& names);
// The whole text compressed as one gzip member; false when zlib fails.
bool gzip_compress(const std::string& data, std::string& out);
// Standard base64 decoding; false for text that is not base64.
bool base64_decode(const std::string& text, std::string& out);

}  // namespace kavren::host
