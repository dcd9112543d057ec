#pragma once

// The page's own files (apps/host/sinks/http/web/), built into the host so that it serves them from
// wherever it is installed.
namespace kavren::host::web {
extern const char kIndexHtml[];
extern const char kAppJs[];
extern const char kFaviconSvg[];
}  // namespace kavren::host::web
