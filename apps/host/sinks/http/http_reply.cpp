#include "apps/host/sinks/http/http_reply.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "apps/host/support/json_writer.h"

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
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// Whether the Accept-Encoding header takes gzip: "gzip" or "*", without "q=0".
bool accepts_gzip(std::string_view rest) {
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

}  // namespace

std::string reply_text(HttpResponse response, std::string_view accept_encoding, bool head) {
    if (compressible(response.content_type)) {
        response.headers.emplace_back("Vary", "Accept-Encoding");
        std::string packed;
        if (accepts_gzip(accept_encoding) && gzip_compress(response.body, packed)) {
            response.body = std::move(packed);
            response.headers.emplace_back("Content-Encoding", "gzip");
        }
    }
    // How a browser may keep the reply: as the response says, else not at all.
    std::string caching = "no-store";
    const auto own = std::find_if(response.headers.begin(), response.headers.end(),
                                  [](const auto& h) { return h.first == "Cache-Control"; });
    if (own != response.headers.end()) {
        caching = own->second;
        response.headers.erase(own);
    }
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       reason_phrase(response.status) +
                       "\r\nContent-Type: " + response.content_type +
                       "\r\nContent-Length: " + std::to_string(response.body.size()) +
                       "\r\nCache-Control: " + caching + "\r\nConnection: close\r\n";
    for (const auto& h : response.headers) text += h.first + ": " + h.second + "\r\n";
    text += "\r\n";
    if (!head) {
        text.reserve(text.size() + response.body.size());
        text += response.body;
    }
    return text;
}

HttpResponse error_reply(int status, const std::string& message) {
    HttpResponse r;
    r.status = status;
    JsonWriter json(r.body);
    json.begin_object().member("error", message).end_object();
    return r;
}

HttpResponse refusal(int status) {
    HttpResponse r = error_reply(status, status == 405 ? "only GET and HEAD are served"
                                                       : "a request body is not taken here");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
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

}  // namespace kavren::host
