#include <systemd/sd-bus.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "platform/sleep_inhibitor.hpp"

namespace nimbrel {
namespace {

class LogindInhibitor final : public SleepInhibitor {
 public:
  ~LogindInhibitor() override { release(); }

  bool acquire(const std::string& why, std::string& error) override {
    if (fd_ >= 0) return true;
    sd_bus* bus = nullptr;
    int result = sd_bus_open_system(&bus);
    if (result < 0) {
      error = std::string("system bus unreachable: ") + std::strerror(-result);
      return false;
    }
    sd_bus_error busError = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    result = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                                "org.freedesktop.login1.Manager", "Inhibit", &busError, &reply,
                                "ssss", "idle:sleep", "Nimbrel", why.c_str(), "block");
    if (result >= 0) {
      int fd = -1;
      result = sd_bus_message_read(reply, "h", &fd);
      if (result >= 0) fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the message owns the original
    }
    if (result < 0 || fd_ < 0) {
      error = busError.message ? busError.message : std::strerror(-result);
    }
    sd_bus_error_free(&busError);
    sd_bus_message_unref(reply);
    sd_bus_unref(bus);
    return fd_ >= 0;
  }

  void release() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<SleepInhibitor> makeLogindInhibitor() { return std::make_unique<LogindInhibitor>(); }

}  // namespace nimbrel
