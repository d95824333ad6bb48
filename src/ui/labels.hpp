#pragma once

// The words of the menu's actions, shared by the panel and the tray's context menu so that
// the two never drift apart.

namespace nimbrel::ui::labels {

inline constexpr const char* finishSetup = "Finish setup: permissions needed";
inline constexpr const char* addDevice = "Add Phone or Tablet…";
inline constexpr const char* openAtLogin = "Open at Login";
inline constexpr const char* keepAwake = "Keep Computer Awake for Remote Access";
inline constexpr const char* rename = "Rename This Computer…";
inline constexpr const char* setUpPermissions = "Set Up Permissions…";
inline constexpr const char* leaveAccount = "Remove from Nimbrel Account…";
inline constexpr const char* quit = "Quit Nimbrel";

}  // namespace nimbrel::ui::labels
