#pragma once

#include <functional>
#include <string_view>

namespace nimbrel {

// Who writes a line. Every line reaches the system log; the headless host also mirrors the
// controller's own lines (its start line, status changes, the dry-run notice) to standard
// output, never the subsystems' diagnostics.
enum class LogChannel { subsystem, controller };

// Where diagnostic lines go. The default sink writes "Nimbrel: " + text to the system log;
// tests install their own to read the lines.
using LogSink = std::function<void(LogChannel channel, std::string_view text)>;

// Sends one diagnostic line (without prefix or line feed) to the current sink.
// Thread-safe; the sink is called under a lock, so lines never interleave.
void logLine(std::string_view text);
void logLine(LogChannel channel, std::string_view text);

// Installs `sink` (the system-log sink when empty) and returns the one it replaces.
LogSink setLogSink(LogSink sink);

// From now on the controller's lines also go, bare, as one line each to standard output
// (the headless host).
void alsoLogToStandardOutput();

}  // namespace nimbrel
