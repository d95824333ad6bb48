#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nimbrel {

// Whether a new network path calls for reconnecting: only a change from a path seen before to
// a usable one. The first path seen never does, and neither does losing connectivity (there is
// nothing to reconnect over).
class PathChangeFilter {
 public:
  bool changed(const std::string& signature);

 private:
  std::optional<std::string> last_;
};

// The network path's signature: the names of the interfaces that are up with an address
// (loopback aside), then the default routes' gateways, joined with ","; empty when there is no
// default route.
std::string networkPathSignature();

// Follows the kernel's link, address and route changes (rtnetlink) on a thread of its own and
// calls `onChange` once, 2 s after the last of a burst of changes that altered the path.
// stop() returns at once; the thread ends by itself.
class NetworkWatch {
 public:
  static constexpr double kSettleSeconds = 2.0;

  // Nothing, with `error` set, when the kernel refuses the netlink socket.
  static std::shared_ptr<NetworkWatch> start(std::function<void()> onChange, std::string& error);
  virtual ~NetworkWatch() = default;
  virtual void stop() = 0;
};

// Calls `onResume` each time the computer wakes from sleep (logind's PrepareForSleep(false) on
// the system bus), on a thread of its own. Nothing, with `error` set, when the bus is out of
// reach. stop() returns at once.
class ResumeWatch {
 public:
  static std::shared_ptr<ResumeWatch> start(std::function<void()> onResume, std::string& error);
  virtual ~ResumeWatch() = default;
  virtual void stop() = 0;
};

}  // namespace nimbrel
