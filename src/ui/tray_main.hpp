#pragma once

#include "app/command_line.hpp"

namespace nimbrel::ui {

// The tray road of the host process: one instance per session, the shared controller on its
// own threads, the tray icon and windows on this one. Returns the exit status.
int runTrayApplication(int argc, char** argv, const CommandLine& commandLine);

}  // namespace nimbrel::ui
