#pragma once

#include <functional>
#include <string_view>

namespace nimbrel {

// Where diagnostic lines go. The default sink writes "Nimbrel: " + text to the system log;
// tests install their own to read the lines.
using LogSink = std::function<void(std::string_view text)>;

// Sends one diagnostic line (without prefix or line feed) to the current sink.
// Thread-safe; the sink is called under a lock, so lines never interleave.
void logLine(std::string_view text);

// Installs `sink` (the system-log sink when empty) and returns the one it replaces.
LogSink setLogSink(LogSink sink);

// From now on every line also goes, bare, as one line to standard output (headless host).
void alsoLogToStandardOutput();

}  // namespace nimbrel
