#include "net/service_name.hpp"

#include <glib.h>

#include <vector>

namespace nimbrel {
namespace {

// Decodes well-formed UTF-8 into code points; anything else is skipped.
std::vector<char32_t> codePoints(std::string_view text) {
  std::vector<char32_t> out;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      ++p;
      continue;
    }
    out.push_back(c);
    p = g_utf8_next_char(p);
  }
  return out;
}

void appendUtf8(std::string& out, char32_t c) {
  char buffer[6];
  out.append(buffer, static_cast<std::size_t>(g_unichar_to_utf8(c, buffer)));
}

// A DNS-SD instance name is one DNS label: at most 63 bytes.
constexpr std::size_t kMaxInstanceBytes = 63;

}  // namespace

bool isLetterOrNumber(char32_t c) {
  switch (g_unichar_type(c)) {
    case G_UNICODE_LOWERCASE_LETTER:
    case G_UNICODE_MODIFIER_LETTER:
    case G_UNICODE_OTHER_LETTER:
    case G_UNICODE_TITLECASE_LETTER:
    case G_UNICODE_UPPERCASE_LETTER:
    case G_UNICODE_DECIMAL_NUMBER:
    case G_UNICODE_LETTER_NUMBER:
    case G_UNICODE_OTHER_NUMBER:
      return true;
    default:
      return false;
  }
}

std::string serviceInstanceName(std::string_view name, std::string_view hostID) {
  std::vector<char32_t> kept;
  for (char32_t c : codePoints(name)) {
    if (kept.size() == 40) break;
    if (isLetterOrNumber(c) || c == U' ' || c == U'-' || c == U'_' || c == U'\'') kept.push_back(c);
  }
  const std::string suffix = " (" + std::string(hostID.substr(0, 4)) + ")";
  std::string base;
  for (char32_t c : kept) {
    std::string next = base;
    appendUtf8(next, c);
    if (next.size() + suffix.size() > kMaxInstanceBytes) break;
    base = std::move(next);
  }
  if (base.empty()) base = "Linux";
  return base + suffix;
}

}  // namespace nimbrel
