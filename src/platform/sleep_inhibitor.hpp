#pragma once

#include <memory>
#include <string>

namespace nimbrel {

// Keeps the computer from sleeping when idle while held.
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Takes the lock; false (with `error` set) when the system refused or is unreachable.
  virtual bool acquire(const std::string& why, std::string& error) = 0;
  virtual void release() = 0;
};

// logind's "idle:sleep" inhibitor lock over the system bus, held as the file descriptor it
// hands out (closing it releases the lock).
std::unique_ptr<SleepInhibitor> makeLogindInhibitor();

}  // namespace nimbrel
