#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrel {

// One file of the browser client, compiled into the binary (web/build.mjs generates the table
// from web/src at build time).
struct WebFile {
  std::string_view path;         // as requested: "/", "/app.js", …
  std::string_view contentType;  // with charset for text
  std::string_view etag;         // a quoted strong tag of the content
  std::string_view body;
};

// The file served for a request target, or nothing. The query and fragment are ignored
// ("/?x" is "/"); "/index.html" is "/".
std::optional<WebFile> webFile(std::string_view target);

// Headers every answer with a web file carries besides its type and length: revalidated on
// each load (so an updated host serves its new client), no sniffing, no referrer, and a content
// policy that lets the page talk only to the origin it came from (ws: and wss: included).
std::vector<std::pair<std::string_view, std::string_view>> webFileHeaders(const WebFile& file);

namespace web_bundle {
extern const WebFile files[];
extern const std::size_t fileCount;
}  // namespace web_bundle

}  // namespace nimbrel
