#include "cloud_server/event_log.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/log.hpp"

namespace nimbrel::cloud {

std::string quote(std::string_view text) {
  std::string out = "\"";
  std::size_t shown = 0;
  for (char c : text) {
    if (++shown > 80) {
      out += "…";
      break;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

void logEvent(std::string_view text) { logLine(LogChannel::controller, text); }

void logEventsToStandardOutput() {
  setLogSink([](LogChannel, std::string_view text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::string line = stamp;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ ", static_cast<int>(millis));
    line += fraction;
    line.append(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  });
}

}  // namespace nimbrel::cloud
