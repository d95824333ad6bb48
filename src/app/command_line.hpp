#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/host_config.hpp"

namespace nimbrel {

// The process arguments, program path first. Options match whole elements exactly; there are
// no "--opt=value" forms, no short options, and unknown arguments are ignored.
class CommandLine {
 public:
  explicit CommandLine(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}
  CommandLine(int argc, const char* const* argv) : arguments_(argv, argv + argc) {}

  // True when any element equals `option`.
  bool has(std::string_view option) const;

  // The element after the first occurrence of `option`, verbatim (even when it starts with
  // "--"); nothing when the option is absent or last.
  std::optional<std::string> value(std::string_view option) const;

 private:
  std::vector<std::string> arguments_;
};

// How the host runs; the controller takes these at construction.
struct HostOptions {
  bool dryRun = false;                  // synthetic screen, recording input, no permission checks
  bool advertise = true;                // publish the listener by DNS-SD
  bool headless = false;                // no user interface; log lines also go to standard output
  bool syntheticFollowsCursor = false;  // the synthetic screen draws the pointer position

  bool operator==(const HostOptions&) const = default;
};

// A whole decimal integer: an optional single "+" or "-", one or more ASCII digits, nothing
// else, within a signed 64-bit integer.
std::optional<std::int64_t> parseInteger(std::string_view text);

// Applies "--port", "--api", "--name" and "--no-cloud" to `config`.
void applyHeadlessOverrides(const CommandLine& commandLine, HostConfig& config);

// The options of a headless start: "--dry-run", "--no-bonjour", "--synthetic cursor".
HostOptions headlessOptions(const CommandLine& commandLine);

}  // namespace nimbrel
