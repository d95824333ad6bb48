#include "base/log.hpp"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace nimbrel {
namespace {

void systemLogSink(LogChannel, std::string_view text) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("nimbrel", LOG_PID, LOG_USER); });
  const std::string line(text);  // syslog needs a terminated string
  syslog(LOG_NOTICE, "Nimbrel: %s", line.c_str());
}

std::mutex sinkLock;
LogSink currentSink = systemLogSink;

}  // namespace

void logLine(std::string_view text) { logLine(LogChannel::subsystem, text); }

void logLine(LogChannel channel, std::string_view text) {
  std::lock_guard lock(sinkLock);
  currentSink(channel, text);
}

LogSink setLogSink(LogSink sink) {
  std::lock_guard lock(sinkLock);
  LogSink previous = std::move(currentSink);
  currentSink = sink ? std::move(sink) : LogSink(systemLogSink);
  return previous;
}

}  // namespace nimbrel

namespace nimbrel {

void alsoLogToStandardOutput() {
  setLogSink([](LogChannel channel, std::string_view text) {
    systemLogSink(channel, text);
    if (channel != LogChannel::controller) return;
    std::string line(text);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  });
}

}  // namespace nimbrel
