#pragma once

#include <string>
#include <vector>

#include "apps/host/sinks/http/http_server.h"

namespace kavren::host {

// The page and the files it loads, each under a name that carries a hash of its content
// ("app-1f2e3d4c5b6a.js"): a browser may keep such a file for a year, since a changed file has
// another name, and the page (which names them) is revalidated on every load. The plain names
// ("app.js") stay served, revalidated too, for whoever fetches them by hand.
class PageFiles {
  public:
    // chart_dir: where the installed chart library is; a file missing there is not served.
    explicit PageFiles(const std::string& chart_dir);

    // The reply for a path, or null when the path names none of the page's files.
    const HttpResponse* find(const std::string& path) const;

  private:
    struct File {
        std::string path;  // "/app.js"
        HttpResponse reply;
    };
    std::vector<File> files_;
};

// A short hash of a file's content for its name: 12 hex digits of its 64-bit FNV-1a hash.
std::string content_tag(const std::string& body);

}  // namespace kavren::host
