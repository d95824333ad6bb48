#include "platform/user_settings.hpp"

#include <boost/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/log.hpp"
#include "base/pretty_json.hpp"
#include "base/private_file.hpp"

namespace nimbrel {

namespace fs = std::filesystem;

namespace {

fs::path configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".config";
  return fs::current_path() / ".config";
}

}  // namespace

fs::path userSettingsPath() { return configHome() / "nimbrel" / "settings.json"; }

fs::path autostartEntryPath() { return configHome() / "autostart" / "nimbrel.desktop"; }

UserSettings loadUserSettings(const fs::path& path) {
  UserSettings settings;
  std::ifstream file(path);
  if (!file) return settings;
  std::ostringstream text;
  text << file.rdbuf();
  boost::system::error_code error;
  const boost::json::value value = boost::json::parse(text.str(), error);
  if (error || !value.is_object()) return settings;
  const auto& object = value.get_object();
  if (const auto* v = object.if_contains("keepAwake"); v && v->is_bool()) settings.keepAwake = v->get_bool();
  if (const auto* v = object.if_contains("pairedOnce"); v && v->is_bool()) settings.pairedOnce = v->get_bool();
  if (const auto* v = object.if_contains("leaveToken"); v && v->is_string()) {
    settings.leaveToken = std::string(v->get_string());
  }
  return settings;
}

bool saveUserSettings(const UserSettings& settings, const fs::path& path, std::string& error) {
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);  // a real problem shows in the write
  boost::json::object object{{"keepAwake", settings.keepAwake},
                             {"pairedOnce", settings.pairedOnce}};
  if (!settings.leaveToken.empty()) object["leaveToken"] = settings.leaveToken;
  if (!writePrivateFile(path, prettyJson(object), error)) {
    logLine("Couldn't save the settings to " + path.string() + ": " + error);
    return false;
  }
  return true;
}

bool saveUserSettings(const UserSettings& settings, const fs::path& path) {
  std::string error;
  return saveUserSettings(settings, path, error);
}

bool autostartEnabled(const fs::path& entry) {
  std::error_code error;
  return fs::is_regular_file(entry, error);
}

std::filesystem::path currentProgram() {
  std::error_code code;
  fs::path path = fs::read_symlink("/proc/self/exe", code);
  return code ? fs::path("nimbrel") : path;
}

std::string desktopExecArgument(const std::string& argument) {
  if (argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`=%") == std::string::npos) return argument;
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';  // a literal percent sign, not a field code
    quoted += c;
  }
  return quoted + '"';
}

bool setAutostart(bool on, const fs::path& entry, const fs::path& program, std::string& error) {
  std::error_code code;
  if (!on) {
    fs::remove(entry, code);
    if (code) error = code.message();
    return !code;
  }
  fs::create_directories(entry.parent_path(), code);
  const std::string text = "[Desktop Entry]\nType=Application\nName=Nimbrel\n"
                           "Comment=Reach this computer from your phone\nExec=" +
                           desktopExecArgument(program.string()) +
                           "\nX-GNOME-Autostart-enabled=true\n";
  if (!writePrivateFile(entry, text, error)) {
    error = "cannot write " + entry.string() + ": " + error;
    return false;
  }
  return true;
}

}  // namespace nimbrel
