#pragma once

#include <filesystem>
#include <string>

namespace nimbrel {

// The per-user state of the host, kept in $XDG_CONFIG_HOME/nimbrel/settings.json.
struct UserSettings {
  bool keepAwake = true;    // "keepAwake": true when absent or not a boolean
  bool pairedOnce = false;  // "pairedOnce"
  // "leaveToken": the host token of an account this host left while the service could not be
  // told; kept until the service has confirmed, so that it never stays valid unnoticed.
  std::string leaveToken;
};

std::filesystem::path userSettingsPath();
UserSettings loadUserSettings(const std::filesystem::path& path);
// Writes the file whole, private from its first byte (it may hold a host token), synced to
// disk. False with `error` set (and logged) when that failed; the old file is then intact.
bool saveUserSettings(const UserSettings& settings, const std::filesystem::path& path,
                      std::string& error);
bool saveUserSettings(const UserSettings& settings, const std::filesystem::path& path);

// The XDG autostart entry that opens the host at login.
std::filesystem::path autostartEntryPath();
bool autostartEnabled(const std::filesystem::path& entry);
// Writes or removes the entry that runs `program` (an absolute path, quoted as desktop entries
// need); false with `error` set when that failed.
bool setAutostart(bool on, const std::filesystem::path& entry, const std::filesystem::path& program,
                  std::string& error);

// The running program's absolute path (what /proc/self/exe names).
std::filesystem::path currentProgram();

// `argument` as one argument of a desktop entry's Exec line: quoted, with \, ", ` and $
// escaped and % doubled, when it holds a blank or a reserved character.
std::string desktopExecArgument(const std::string& argument);

}  // namespace nimbrel
