#pragma once

#include "app/command_line.hpp"
#include "app/desktop_backend.hpp"

namespace nimbrel::ui {

// The tray road of the host process: one instance per session, the shared controller on its
// own threads, the tray icon and windows on this one; its sessions share `desktop`. Returns the
// exit status.
int runTrayApplication(int argc, char** argv, const CommandLine& commandLine,
                       DesktopBackend desktop);

}  // namespace nimbrel::ui
