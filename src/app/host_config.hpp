#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

// The host's persisted identity and settings, kept in "config.json" in the data directory.
struct HostConfig {
  std::string hostID;     // "host_id": 16 lowercase hex digits
  std::string secret;     // "secret": the pairing key, 64 hex digits (32 bytes)
  std::string name;       // "name"
  std::int64_t port = 7300;
  std::string api;        // "api": base URL of the cloud API
  bool cloud = true;
  std::string cloudID;    // "cloud_id": empty until enrolled
  std::string hostToken;  // "host_token": empty until enrolled
  // "allowed_origins": web pages ("https://example.org") that may open sessions besides the
  // host's own; a browser's upgrade from any other page is refused.
  std::vector<std::string> allowedOrigins;

  bool operator==(const HostConfig&) const = default;

  // Cloud use is on and the host holds a cloud identity.
  bool enrolled() const { return cloud && !cloudID.empty() && !hostToken.empty(); }
};

inline constexpr std::string_view kDefaultApiBase = "https://api.nimbrel.invalid";
inline constexpr std::int64_t kDefaultPort = 7300;

// The directory "--home" selected, if any. Process-wide; set once at start-up.
void setHomeOverride(std::optional<std::filesystem::path> directory);

// Data directory resolution, first match wins: the home override; the non-empty value of
// "VANTAFRAME_HOME" (`environmentHome`); ".nimbrel" in `userHome` if it exists; the older
// ".vantaframe" there if it exists; ".nimbrel" there.
std::filesystem::path resolveDataDirectory(const std::optional<std::filesystem::path>& override,
                                           const char* environmentHome,
                                           const std::filesystem::path& userHome);

// The data directory of this process (home override, environment, user's home directory).
std::filesystem::path dataDirectory();

// A fresh identity: random host identifier and secret, default name, port 7300, the
// default API base, cloud on, not enrolled.
HostConfig newIdentity();

// The configuration in `directory`, or a new identity, saved there, when the file is missing
// or not a valid configuration. A file that exists but is unusable is first kept beside it
// as "config.json.bad"; if it cannot be kept, it is left untouched and the new identity is
// not saved. Never fails.
HostConfig loadConfig(const std::filesystem::path& directory);
HostConfig loadConfig();

// Writes "config.json" atomically with permissions 0600, creating the directory as needed.
// Failures are logged, never thrown.
void saveConfig(const HostConfig& config, const std::filesystem::path& directory);
void saveConfig(const HostConfig& config);

// The file form: indented JSON with every key, in ascending key order.
std::string encodeConfig(const HostConfig& config);

// Parses the file form over a new identity (absent or null keys keep its values; "cloud_id"
// and "host_token" fall back to empty). Gives nothing, with the reason in `error`, when the
// text is not a JSON object, a value has the wrong type, or the secret is not 32 bytes of hex.
std::optional<HostConfig> decodeConfig(std::string_view text, std::string* error = nullptr);

}  // namespace nimbrel
