#pragma once

#include <filesystem>

namespace nimbrel {

// The two per-user switches of the host, kept in $XDG_CONFIG_HOME/nimbrel/settings.json.
struct UserSettings {
  bool keepAwake = true;    // "keepAwake": true when absent or not a boolean
  bool pairedOnce = false;  // "pairedOnce"
};

std::filesystem::path userSettingsPath();
UserSettings loadUserSettings(const std::filesystem::path& path);
// Failures are logged.
void saveUserSettings(const UserSettings& settings, const std::filesystem::path& path);

// The XDG autostart entry that opens the host at login.
std::filesystem::path autostartEntryPath();
bool autostartEnabled(const std::filesystem::path& entry);
// Writes or removes the entry; false with `error` set when that failed.
bool setAutostart(bool on, const std::filesystem::path& entry, const std::string& command,
                  std::string& error);

}  // namespace nimbrel
