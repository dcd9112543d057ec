#include "apps/host/sinks/http/page_files.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "apps/host/sinks/http/web_assets.h"

namespace kavren::host {

namespace {

// Unchanged under its name for good; a later version has another.
constexpr const char* kKeepForGood = "public, max-age=31536000, immutable";
// Kept, but asked again (cheaply) before use; unlike no-store, leaves the page to the browser's
// back/forward cache.
constexpr const char* kAskAgain = "no-cache";

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

HttpResponse reply(const std::string& type, std::string body, const char* caching) {
    HttpResponse r;
    r.content_type = type;
    r.body = std::move(body);
    r.headers.emplace_back("Cache-Control", caching);
    return r;
}

// "app.js" with its tag: "app-TAG.js"; "dygraph.min.css": "dygraph-TAG.min.css".
std::string tagged(const std::string& name, const std::string& tag) {
    const std::size_t dot = name.find('.');
    return name.substr(0, dot) + "-" + tag + name.substr(dot);
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

std::string content_tag(const std::string& body) {
    uint64_t h = 14695981039346656037ULL;
    for (const unsigned char c : body) h = (h ^ c) * 1099511628211ULL;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return std::string(text, 12);
}

PageFiles::PageFiles(const std::string& chart_dir) {
    struct Named {
        const char* name;
        const char* type;
        std::string body;
    };
    const Named named[] = {
        {"app.js", "text/javascript; charset=utf-8", web::kAppJs},
        {"dygraph.min.js", "text/javascript", read_whole(chart_dir + "/dygraph.min.js")},
        {"dygraph.min.css", "text/css", read_whole(chart_dir + "/dygraph.min.css")},
    };
    std::string index = web::kIndexHtml;
    for (const Named& f : named) {
        if (f.body.empty()) continue;
        const std::string name = tagged(f.name, content_tag(f.body));
        replace_all(index, std::string("\"") + f.name + "\"", "\"" + name + "\"");
        files_.push_back({"/" + name, reply(f.type, f.body, kKeepForGood)});
        files_.push_back({std::string("/") + f.name, reply(f.type, f.body, kAskAgain)});
    }
    const HttpResponse page = reply("text/html; charset=utf-8", index, kAskAgain);
    files_.push_back({"/", page});
    files_.push_back({"/index.html", page});
    const HttpResponse icon = reply("image/svg+xml", web::kFaviconSvg, "public, max-age=86400");
    files_.push_back({"/favicon.svg", icon});
    files_.push_back({"/favicon.ico", icon});
}

const HttpResponse* PageFiles::find(const std::string& path) const {
    for (const File& f : files_)
        if (f.path == path) return &f.reply;
    return nullptr;
}

}  // namespace kavren::host
