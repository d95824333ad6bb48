#include "cloud_server/web_app.hpp"

#include "net/web_files.hpp"

namespace nimbrel::cloud {

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool etagMatches(std::string_view ifNoneMatch, std::string_view etag) {
  while (!ifNoneMatch.empty()) {
    const auto comma = ifNoneMatch.find(',');
    std::string_view tag = trim(ifNoneMatch.substr(0, comma));
    ifNoneMatch = comma == std::string_view::npos ? std::string_view{} : ifNoneMatch.substr(comma + 1);
    if (tag == "*") return true;
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    if (!tag.empty() && tag == etag) return true;
  }
  return false;
}

std::optional<WebAnswer> webAppAnswer(std::string_view method, std::string_view target,
                                      std::string_view ifNoneMatch) {
  const bool head = method == "HEAD";
  if (method != "GET" && !head) return std::nullopt;
  const auto file = webFile(target);
  if (!file) return std::nullopt;
  WebAnswer answer;
  answer.headers = webFileHeaders(*file);
  answer.body = file->body;
  const bool unchanged = etagMatches(ifNoneMatch, file->etag);
  answer.status = unchanged ? 304 : 200;
  answer.sendBody = !head && !unchanged;
  return answer;
}

}  // namespace nimbrel::cloud
