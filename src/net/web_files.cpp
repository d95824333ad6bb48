#include "net/web_files.hpp"

namespace nimbrel {

std::optional<WebFile> webFile(std::string_view target) {
  std::string_view path = target.substr(0, target.find_first_of("?#"));
  if (path == "/index.html") path = "/";
  for (std::size_t i = 0; i < web_bundle::fileCount; ++i) {
    if (web_bundle::files[i].path == path) return web_bundle::files[i];
  }
  return std::nullopt;
}

std::vector<std::pair<std::string_view, std::string_view>> webFileHeaders(const WebFile& file) {
  return {
      {"Content-Type", file.contentType},
      {"ETag", file.etag},
      {"Cache-Control", "no-cache"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' blob: data:; "
       "style-src 'self'; script-src 'self'; object-src 'none'; base-uri 'none'; "
       "frame-ancestors 'none'"},
  };
}

}  // namespace nimbrel
