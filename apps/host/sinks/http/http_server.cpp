#include "apps/host/sinks/http/http_server.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "apps/host/sinks/http/connection_socket.h"
#include "apps/host/sinks/http/reply_deadlines.h"

namespace kavren::host {

namespace {

const char* reason_phrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 403:
            return "Forbidden";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Content Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// The query's names and values, decoded (civetweb splits and decodes in place, in a copy).
std::map<std::string, std::string> parse_query(const char* query) {
    std::map<std::string, std::string> out;
    if (query == nullptr) return out;
    std::string copy(query);
    const int count = mg_split_form_urlencoded(&copy[0], nullptr, 0);
    if (count <= 0) return out;
    std::vector<mg_header> fields(static_cast<std::size_t>(count));
    const int found =
        mg_split_form_urlencoded(&copy[0], fields.data(), static_cast<unsigned>(fields.size()));
    for (int i = 0; i < found; ++i) {
        const mg_header& field = fields[static_cast<std::size_t>(i)];
        if (field.name != nullptr && field.name[0] != '\0')
            out[field.name] = field.value != nullptr ? field.value : "";
    }
    return out;
}

// Compares without returning early, so the time taken tells nothing of where they differ.
bool same_text(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

// Whether the Accept-Encoding header takes gzip: "gzip" or "*", without "q=0".
bool accepts_gzip(const char* header) {
    if (header == nullptr) return false;
    std::string_view rest(header);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        const auto semicolon = item.find(';');
        std::string_view name = item.substr(0, semicolon);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name != "gzip" && name != "x-gzip" && name != "*") continue;
        if (semicolon == std::string_view::npos) return true;
        std::string_view quality = item.substr(semicolon + 1);
        while (!quality.empty() && quality.front() == ' ') quality.remove_prefix(1);
        if (quality.substr(0, 2) != "q=") return true;
        quality.remove_prefix(2);
        // q=0, q=0.0, q=0.000: refused; any other weight: taken.
        if (quality.find_first_not_of("0.") != std::string_view::npos) return true;
    }
    return false;
}

// Texts: the page, its scripts and styles, JSON, the icon and /metrics.
bool compressible(const std::string& content_type) {
    for (const char* type : {"application/json", "text/", "image/svg+xml"})
        if (content_type.compare(0, std::strlen(type), type) == 0) return true;
    return false;
}

// A reply may take this long to be taken by its client; then its connection is cut.
constexpr std::chrono::seconds kReplyWindow{60};

// 405 for a method other than GET and HEAD, 413 for a GET or HEAD with a body, 0 for a request
// this server serves. Nothing here takes a body: it is refused before a byte of it is read.
int refusal_of(mg_connection* connection, const mg_request_info* info) {
    const std::string method = info->request_method ? info->request_method : "";
    if (method != "GET" && method != "HEAD") return 405;
    if (info->content_length > 0 || mg_get_header(connection, "Transfer-Encoding") != nullptr)
        return 413;
    return 0;
}

HttpResponse refusal(int status) {
    HttpResponse r;
    r.status = status;
    r.body = status == 405 ? "{\"error\":\"only GET and HEAD are served\"}"
                           : "{\"error\":\"a request body is not taken here\"}";
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
}

// The host part of a Host header: without its port, an IPv6 literal with its brackets.
std::string host_of(std::string_view header) {
    if (!header.empty() && header.front() == '[') {
        const auto end = header.find(']');
        return std::string(header.substr(0, end == std::string_view::npos ? end : end + 1));
    }
    return std::string(header.substr(0, header.find(':')));
}

bool ip_literal(const std::string& host) {
    unsigned char bytes[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), bytes) == 1;
    return inet_pton(AF_INET, host.c_str(), bytes) == 1;
}

// The names, this machine's and NAME.local added.
std::vector<std::string> with_this_machine(std::vector<std::string> names) {
    char machine[256] = {};
    gethostname(machine, sizeof machine - 1);
    if (machine[0] != '\0') {
        names.push_back(machine);
        names.push_back(std::string(machine) + ".local");
    }
    return names;
}

}  // namespace

bool host_header_allowed(const char* header, const std::vector<std::string>& names) {
    if (header == nullptr) return true;  // HTTP/1.0: a browser always names the host
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    };
    const std::string host = lower(host_of(header));
    if (ip_literal(host) || host == "localhost") return true;
    for (const std::string& name : names)
        if (!name.empty() && host == lower(name)) return true;
    return false;
}

bool gzip_compress(const std::string& data, std::string& out) {
    z_stream z{};
    // 15 window bits, +16 for the gzip wrapper; level 6 for JSON of numbers: a 1000-point series
    // of about 0.8 MB takes a few milliseconds.
    if (deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out.resize(deflateBound(&z, static_cast<uLong>(data.size())) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return rc == Z_STREAM_END;
}

bool base64_decode(const std::string& text, std::string& out) {
    out.clear();
    unsigned buffer = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') {
            v = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            v = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            v = c - '0' + 52;
        } else if (c == '+') {
            v = 62;
        } else if (c == '/') {
            v = 63;
        } else if (c == '=') {
            ++padding;
            continue;
        } else {
            return false;
        }
        if (padding > 0) return false;  // data after padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return padding <= 2 && (text.size() % 4) == 0;
}

std::vector<std::string> read_http_password_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read password file " + path);
    std::vector<std::string> entries;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            throw std::runtime_error("password file " + path + ": each line must be user:password");
        entries.push_back(line);
    }
    if (entries.empty())
        throw std::runtime_error("password file " + path + " holds no user:password line");
    return entries;
}

HttpServer::HttpServer(const std::string& listen, const HttpLimits& limits,
                       const std::string& password_file, std::vector<std::string> host_names,
                       Handler handler, Log log)
    : handler_(std::move(handler)),
      log_(std::move(log)),
      host_names_(with_this_machine(std::move(host_names))) {
    if (!password_file.empty()) credentials_ = read_http_password_file(password_file);
    const std::string threads = std::to_string(limits.max_connections);
    const std::string queue = std::to_string(limits.max_connections);
    const std::string timeout = std::to_string(limits.request_timeout_ms);
    const std::string request_bytes = std::to_string(limits.max_request_bytes);
    const char* options[] = {"listening_ports",
                             listen.c_str(),
                             "num_threads",
                             threads.c_str(),
                             "connection_queue",
                             queue.c_str(),
                             "request_timeout_ms",
                             timeout.c_str(),
                             "max_request_size",
                             request_bytes.c_str(),
                             "enable_keep_alive",
                             "no",
                             nullptr};
    deadlines_ = std::make_unique<ReplyDeadlines>(log_);
    mg_callbacks callbacks{};
    callbacks.connection_close = [](const mg_connection* connection) {
        auto* self = static_cast<HttpServer*>(mg_get_user_data(mg_get_context(connection)));
        if (self != nullptr) self->deadlines_->disarm(connection);
    };
    callbacks.log_message = [](const mg_connection* connection, const char* message) {
        const mg_context* context = mg_get_context(connection);
        auto* self = static_cast<HttpServer*>(mg_get_user_data(context));
        if (self != nullptr && self->log_) self->log_(std::string("http: ") + message);
        return 1;
    };
    char error_text[256] = "";
    mg_error_data error{};
    error.text = error_text;
    error.text_buffer_size = sizeof error_text;
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = this;
    init.configuration_options = options;
    mg_init_library(0);
    context_ = mg_start2(&init, &error);
    if (context_ == nullptr) {
        mg_exit_library();
        throw std::runtime_error("cannot serve HTTP on " + listen + ": " +
                                 (error_text[0] ? error_text : "unknown reason"));
    }
    mg_server_port ports[4];
    const int n = mg_get_server_ports(context_, 4, ports);
    if (n > 0) port_ = ports[0].port;
    const auto colon = listen.rfind(':');
    address_ = listen.substr(0, colon) + ":" + std::to_string(port_);
    mg_set_request_handler(context_, "/", &HttpServer::on_request, this);
}

HttpServer::~HttpServer() {
    if (context_ == nullptr) return;
    // civetweb's listening thread sees the stop only when its poll of the listening socket
    // ends, up to a second later: a connection from here ends it at once.
    std::atomic<bool> stopped{false};
    const std::string host = address_.substr(0, address_.rfind(':'));
    std::thread waking([&] {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port_));
        if (host == "0.0.0.0" || inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1)
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (!stopped.load()) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd >= 0) {
                connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
                close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    mg_stop(context_);
    stopped.store(true);
    waking.join();
    mg_exit_library();
}

bool HttpServer::authorized(const char* header) const {
    if (credentials_.empty()) return true;
    if (header == nullptr || std::strncmp(header, "Basic ", 6) != 0) return false;
    std::string given;
    if (!base64_decode(header + 6, given)) return false;
    bool ok = false;
    for (const std::string& entry : credentials_) ok |= same_text(entry, given);
    return ok;
}

int HttpServer::on_request(::mg_connection* connection, void* data) {
    auto* self = static_cast<HttpServer*>(data);
    const mg_request_info* info = mg_get_request_info(connection);
    const int fd = connection_socket(info->server_port, info->remote_addr, info->remote_port);
    const std::string who =
        std::string(info->remote_addr) + ":" + std::to_string(info->remote_port);
    if (fd >= 0)
        self->deadlines_->arm(connection, fd, ReplyDeadlines::Clock::now() + kReplyWindow, who);
    const int refused = refusal_of(connection, info);
    HttpResponse response;
    if (refused != 0) {
        response = refusal(refused);
    } else if (self->credentials_.empty() &&
               !host_header_allowed(mg_get_header(connection, "Host"), self->host_names_)) {
        // Without a password, a page of another site whose name was made to resolve here (DNS
        // rebinding) would read everything: only this machine's names and addresses are served.
        response.status = 403;
        response.body =
            "{\"error\":\"the Host header names neither this machine nor an IP address\"}";
    } else if (!self->authorized(mg_get_header(connection, "Authorization"))) {
        response.status = 401;
        response.body = "{\"error\":\"authentication required\"}";
        response.headers.emplace_back("WWW-Authenticate", "Basic realm=\"kavren-host\"");
    } else {
        HttpRequest request;
        request.method = info->request_method;
        request.path = info->local_uri ? info->local_uri : "/";
        request.query = parse_query(info->query_string);
        try {
            response = self->handler_(request);
        } catch (const std::exception& e) {
            response = HttpResponse{};
            response.status = 500;
            response.body = "{\"error\":\"internal error\"}";
            if (self->log_) self->log_(std::string("http: ") + request.path + ": " + e.what());
        }
    }
    const bool head =
        info->request_method != nullptr && std::strcmp(info->request_method, "HEAD") == 0;
    send_reply(connection, head, response);
    // The body is never read: the connection ends after the reply (civetweb would otherwise
    // read and drop the whole announced body, as slowly as the client sends it).
    if (refused != 0) {
        if (fd >= 0) {
            shutdown(fd, SHUT_RDWR);
        } else if (self->log_) {
            self->log_("http: cannot find the connection from " + who + " to end it");
        }
    }
    return response.status;
}

void HttpServer::send_reply(::mg_connection* connection, bool head, HttpResponse& response) {
    if (compressible(response.content_type)) {
        response.headers.emplace_back("Vary", "Accept-Encoding");
        std::string packed;
        if (accepts_gzip(mg_get_header(connection, "Accept-Encoding")) &&
            gzip_compress(response.body, packed)) {
            response.body = std::move(packed);
            response.headers.emplace_back("Content-Encoding", "gzip");
        }
    }
    std::string head_text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                            reason_phrase(response.status) +
                            "\r\nContent-Type: " + response.content_type +
                            "\r\nContent-Length: " + std::to_string(response.body.size()) +
                            "\r\nCache-Control: no-store\r\nConnection: close\r\n";
    for (const auto& h : response.headers) head_text += h.first + ": " + h.second + "\r\n";
    head_text += "\r\n";
    mg_write(connection, head_text.data(), head_text.size());
    if (!head && !response.body.empty())
        mg_write(connection, response.body.data(), response.body.size());
}

}  // namespace kavren::host
