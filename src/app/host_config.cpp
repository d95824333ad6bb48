#include "app/host_config.hpp"

#include <boost/json.hpp>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "base/log.hpp"
#include "base/pretty_json.hpp"
#include "base/private_file.hpp"
#include "platform/host_name.hpp"
#include "session/crypto.hpp"

namespace nimbrel {

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr const char* kFileName = "config.json";
constexpr const char* kBadFileName = "config.json.bad";

std::mutex homeOverrideLock;
std::optional<fs::path> homeOverrideValue;

fs::path userHomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return fs::current_path();
}

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::string errnoText(int error) { return std::strerror(error); }

// Reads one typed member of the file's object. Absent and null keep `target`.
template <typename T>
bool readMember(const json::object& object, std::string_view key, T& target, std::string* error) {
  const json::value* value = object.if_contains(key);
  if (!value || value->is_null()) return true;
  bool ok = false;
  if constexpr (std::is_same_v<T, std::string>) {
    if (value->is_string()) {
      target = std::string(value->get_string());
      ok = true;
    }
  } else if constexpr (std::is_same_v<T, bool>) {
    if (value->is_bool()) {
      target = value->get_bool();
      ok = true;
    }
  } else {
    if (value->is_int64()) {
      target = value->get_int64();
      ok = true;
    } else if (value->is_uint64() && value->get_uint64() <= INT64_MAX) {
      target = static_cast<std::int64_t>(value->get_uint64());
      ok = true;
    } else if (value->is_double()) {
      // An integral number written with a fraction or exponent ("7300.0", "7.3e3").
      const double d = value->get_double();
      if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
        target = static_cast<std::int64_t>(d);
        ok = true;
      }
    }
  }
  if (!ok && error) *error = "\"" + std::string(key) + "\" has the wrong type";
  return ok;
}

enum class ReadStatus { ok, missing, unreadable };

ReadStatus readFile(const fs::path& path, std::string& bytes, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadStatus::missing;
    error = errnoText(errno);
    return ReadStatus::unreadable;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errnoText(errno);
      ::close(fd);
      return ReadStatus::unreadable;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return ReadStatus::ok;
}

}  // namespace

void setHomeOverride(std::optional<fs::path> directory) {
  std::lock_guard lock(homeOverrideLock);
  homeOverrideValue = std::move(directory);
}

fs::path resolveDataDirectory(const std::optional<fs::path>& override, const char* environmentHome,
                              const fs::path& userHome) {
  if (override) return *override;
  if (environmentHome && *environmentHome) return fs::absolute(environmentHome);
  const fs::path current = userHome / ".nimbrel";
  if (pathExists(current)) return current;
  const fs::path older = userHome / ".vantaframe";
  if (pathExists(older)) return older;
  return current;
}

fs::path dataDirectory() {
  std::optional<fs::path> override;
  {
    std::lock_guard lock(homeOverrideLock);
    override = homeOverrideValue;
  }
  return resolveDataDirectory(override, std::getenv("VANTAFRAME_HOME"), userHomeDirectory());
}

HostConfig newIdentity() {
  HostConfig config;
  config.hostID = hexEncode(randomBytes(8));
  config.secret = hexEncode(randomBytes(32));
  config.name = defaultHostName();
  config.port = kDefaultPort;
  config.api = std::string(kDefaultApiBase);
  config.cloud = true;
  return config;
}

std::string encodeConfig(const HostConfig& config) {
  const json::object object{
      {"host_id", config.hostID}, {"secret", config.secret},      {"name", config.name},
      {"port", config.port},      {"api", config.api},            {"cloud", config.cloud},
      {"cloud_id", config.cloudID}, {"host_token", config.hostToken},
      {"allowed_origins", json::array(config.allowedOrigins.begin(), config.allowedOrigins.end())},
  };
  return prettyJson(object);
}

std::optional<HostConfig> decodeConfig(std::string_view text, std::string* error) {
  std::error_code parseError;
  const json::value value = json::parse(text, parseError);
  if (parseError) {
    if (error) *error = "not JSON: " + parseError.message();
    return std::nullopt;
  }
  if (!value.is_object()) {
    if (error) *error = "not a JSON object";
    return std::nullopt;
  }
  const json::object& object = value.get_object();

  HostConfig config = newIdentity();
  if (!readMember(object, "host_id", config.hostID, error) ||
      !readMember(object, "secret", config.secret, error) ||
      !readMember(object, "name", config.name, error) ||
      !readMember(object, "port", config.port, error) ||
      !readMember(object, "api", config.api, error) ||
      !readMember(object, "cloud", config.cloud, error) ||
      !readMember(object, "cloud_id", config.cloudID, error) ||
      !readMember(object, "host_token", config.hostToken, error)) {
    return std::nullopt;
  }
  // Written by hand: a mistake here must not cost the identity. The texts are taken, anything
  // else is left out (and so refused as an origin).
  if (const json::value* origins = object.if_contains("allowed_origins");
      origins && origins->is_array()) {
    for (const json::value& origin : origins->get_array()) {
      if (origin.is_string()) config.allowedOrigins.emplace_back(origin.get_string());
    }
  }
  const auto key = hexDecode(config.secret);
  if (!key || key->size() != 32) {
    if (error) *error = "\"secret\" is not 32 bytes of hexadecimal";
    return std::nullopt;
  }
  return config;
}

HostConfig loadConfig(const fs::path& directory) {
  const fs::path file = directory / kFileName;
  std::string bytes;
  std::string problem;
  const ReadStatus status = readFile(file, bytes, problem);
  if (status == ReadStatus::ok) {
    if (auto config = decodeConfig(bytes, &problem)) return *config;
  } else if (status == ReadStatus::unreadable) {
    problem = "unreadable: " + problem;
  }

  HostConfig fresh = newIdentity();
  if (status != ReadStatus::missing) {
    // Keep the old bytes: the identity, pairing key and enrolment in them may be recoverable.
    const fs::path kept = directory / kBadFileName;
    if (::rename(file.c_str(), kept.c_str()) != 0) {
      logLine(LogChannel::controller,
              "The configuration " + file.string() + " is not usable (" + problem +
                  ") and couldn't be kept as " + kept.string() + " (" + errnoText(errno) +
                  "); running with a new identity that is not saved.");
      return fresh;
    }
    logLine(LogChannel::controller, "The configuration " + file.string() + " is not usable (" +
                                        problem + "); kept it as " + kept.string() +
                                        " and made a new identity.");
  }
  saveConfig(fresh, directory);
  return fresh;
}

HostConfig loadConfig() { return loadConfig(dataDirectory()); }

void saveConfig(const HostConfig& config, const fs::path& directory) {
  const fs::path file = directory / kFileName;
  std::error_code ignored;
  fs::create_directories(directory, ignored);  // a real problem shows in the write below
  std::string error;
  if (!writePrivateFile(file, encodeConfig(config), error)) {
    logLine(LogChannel::controller,
            "Couldn't save the configuration to " + file.string() + ": " + error);
  }
}

void saveConfig(const HostConfig& config) { saveConfig(config, dataDirectory()); }

}  // namespace nimbrel
