#include "app/command_line.hpp"

#include <algorithm>
#include <charconv>

namespace nimbrel {

bool CommandLine::has(std::string_view option) const {
  return std::find(arguments_.begin(), arguments_.end(), option) != arguments_.end();
}

std::optional<std::string> CommandLine::value(std::string_view option) const {
  auto it = std::find(arguments_.begin(), arguments_.end(), option);
  if (it == arguments_.end() || std::next(it) == arguments_.end()) return std::nullopt;
  return *std::next(it);
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  // from_chars takes a leading "-" but not "+", and never skips blanks.
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;
  }
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || text.empty() || text == "-") return std::nullopt;
  return value;
}

void applyHeadlessOverrides(const CommandLine& commandLine, HostConfig& config) {
  if (auto port = commandLine.value("--port")) {
    if (auto parsed = parseInteger(*port)) config.port = *parsed;
  }
  if (auto api = commandLine.value("--api")) config.api = *api;
  if (auto name = commandLine.value("--name")) config.name = *name;
  if (commandLine.has("--no-cloud")) config.cloud = false;
}

HostOptions headlessOptions(const CommandLine& commandLine) {
  HostOptions options;
  options.dryRun = commandLine.has("--dry-run");
  options.advertise = !commandLine.has("--no-bonjour");
  options.headless = true;
  options.syntheticFollowsCursor = commandLine.value("--synthetic") == "cursor";
  return options;
}

}  // namespace nimbrel
