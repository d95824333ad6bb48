#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::test {

// A child process with its standard output and error captured, killed if still running when
// the object goes.
class Process {
 public:
  // `environment` entries are added to (or, with an empty optional, removed from) this
  // process's environment.
  Process(const std::string& program, const std::vector<std::string>& arguments,
          const std::map<std::string, std::optional<std::string>>& environment = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Reads standard output until it contains `text` or `timeout` passes; true when it does.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

  void signal(int number);

  // The exit status, or nothing when the process did not exit normally within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

  bool running();
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }
  std::string errorOutput();

 private:
  void drain(int fd, std::string& into, int waitMs);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string output_;
  std::string error_;
  std::optional<int> status_;
};


}  // namespace nimbrel::test
