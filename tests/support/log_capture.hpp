#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "base/log.hpp"

namespace nimbrel::test {

// Collects the diagnostic lines written while it lives, in place of the system log.
class LogCapture {
 public:
  LogCapture() {
    previous_ = setLogSink([this](LogChannel, std::string_view text) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(text);
    });
  }
  ~LogCapture() { setLogSink(std::move(previous_)); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  LogSink previous_;
};

}  // namespace nimbrel::test
