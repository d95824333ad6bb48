#pragma once

// The browser client, served by the service at its root so that an account holder can reach a
// host from any browser. The files are the ones the host serves (compiled in from web/);
// this decides which requests they answer and how.

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrel::cloud {

struct WebAnswer {
  int status = 200;  // 200, or 304 when the client's copy is current
  std::vector<std::pair<std::string_view, std::string_view>> headers;
  std::string_view body;  // the whole file, also for 304 and HEAD (its length is the header's)
  bool sendBody = true;   // false for HEAD and 304
};

// The answer for a request of one of the app's paths ("/", "/app.js", …) with GET or HEAD;
// nothing for anything else, which the API answers as before. `ifNoneMatch` is the header's
// value (empty when absent).
std::optional<WebAnswer> webAppAnswer(std::string_view method, std::string_view target,
                                      std::string_view ifNoneMatch);

// Whether an If-None-Match value names `etag`: a list of tags, weak ones ("W/…") compared by
// their opaque part, or "*".
bool etagMatches(std::string_view ifNoneMatch, std::string_view etag);

}  // namespace nimbrel::cloud
