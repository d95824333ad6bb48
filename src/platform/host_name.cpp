#include "platform/host_name.hpp"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace nimbrel {

namespace {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// One value of an env-style file: "double quoted" with backslash escapes, 'single quoted'
// verbatim, or bare.
std::string unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return std::string(value.substr(1, value.size() - 2));
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    std::string out;
    value = value.substr(1, value.size() - 2);
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      out.push_back(value[i]);
    }
    return out;
  }
  return std::string(value);
}

}  // namespace

std::optional<std::string> prettyHostNameFrom(std::string_view machineInfo) {
  constexpr std::string_view key = "PRETTY_HOSTNAME=";
  std::optional<std::string> found;
  while (!machineInfo.empty()) {
    const auto end = machineInfo.find('\n');
    const std::string_view line = trim(machineInfo.substr(0, end));
    machineInfo = end == std::string_view::npos ? std::string_view{} : machineInfo.substr(end + 1);
    if (line.starts_with(key)) found = unquote(trim(line.substr(key.size())));
  }
  if (found && found->empty()) return std::nullopt;
  return found;
}

std::string shortHostName(std::string_view hostName) {
  return std::string(hostName.substr(0, hostName.find('.')));
}

std::string defaultHostName() {
  std::ifstream file("/etc/machine-info");
  if (file) {
    std::ostringstream text;
    text << file.rdbuf();
    if (auto pretty = prettyHostNameFrom(text.str())) return *pretty;
  }
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "Linux";
  return shortHostName(name);
}

}  // namespace nimbrel
