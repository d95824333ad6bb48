#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nimbrel {

// Wakes a thread that polls a descriptor of its own (an X connection, say): poll readFd()
// beside it, call wake() from anywhere, drain() after waking.
class WakePipe {
 public:
  WakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      throw std::runtime_error(std::string("couldn't create a wake-up pipe: ") + std::strerror(errno));
    }
    read_ = fds[0];
    write_ = fds[1];
  }
  ~WakePipe() {
    close(read_);
    close(write_);
  }
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  int readFd() const { return read_; }
  void wake() const {
    const char byte = 0;
    [[maybe_unused]] auto written = write(write_, &byte, 1);
  }
  void drain() const {
    char bytes[64];
    while (read(read_, bytes, sizeof bytes) > 0) {
    }
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

}  // namespace nimbrel
