#include "platform/network_watch.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "base/log.hpp"
#include "platform/wake_pipe.hpp"

namespace nimbrel {
namespace {

using Clock = std::chrono::steady_clock;

// Default gateways from /proc/net/route (little-endian hex) and /proc/net/ipv6_route.
std::vector<std::string> defaultGateways(bool* anyDefault) {
  std::vector<std::string> gateways;
  std::ifstream v4("/proc/net/route");
  std::string line;
  std::getline(v4, line);  // the header
  while (std::getline(v4, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway;
    fields >> name >> destination >> gateway;
    if (destination != "00000000") continue;
    *anyDefault = true;
    const auto value = static_cast<std::uint32_t>(std::stoul(gateway, nullptr, 16));
    in_addr address{value};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    gateways.push_back(text);
  }
  std::ifstream v6("/proc/net/ipv6_route");
  while (std::getline(v6, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, next;
    fields >> destination >> prefix >> source >> sourcePrefix >> next;
    if (destination != std::string(32, '0') || prefix != "00") continue;
    if (next == std::string(32, '0')) continue;  // the unreachable default of a host without one
    *anyDefault = true;
    in6_addr address{};
    for (int i = 0; i < 16; ++i) {
      address.s6_addr[i] = static_cast<std::uint8_t>(std::stoul(next.substr(i * 2, 2), nullptr, 16));
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &address, text, sizeof text);
    gateways.push_back(text);
  }
  return gateways;
}

}  // namespace

bool PathChangeFilter::changed(const std::string& signature) {
  const bool kick = last_ && *last_ != signature && !signature.empty();
  last_ = signature;
  return kick;
}

std::string networkPathSignature() {
  bool anyDefault = false;
  const std::vector<std::string> gateways = defaultGateways(&anyDefault);
  if (!anyDefault) return {};
  std::vector<std::string> parts;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
      if (!entry->ifa_addr || (entry->ifa_flags & IFF_LOOPBACK) || !(entry->ifa_flags & IFF_UP)) {
        continue;
      }
      const int family = entry->ifa_addr->sa_family;
      if (family != AF_INET && family != AF_INET6) continue;
      if (std::find(parts.begin(), parts.end(), entry->ifa_name) == parts.end()) {
        parts.emplace_back(entry->ifa_name);
      }
    }
    freeifaddrs(list);
  }
  parts.insert(parts.end(), gateways.begin(), gateways.end());
  std::string signature;
  for (const std::string& part : parts) signature += (signature.empty() ? "" : ",") + part;
  return signature;
}

namespace {

class NetlinkWatch final : public NetworkWatch {
 public:
  struct State {
    WakePipe wake;
    std::atomic<bool> stopping{false};
  };

  explicit NetlinkWatch(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~NetlinkWatch() override { stop(); }
  void stop() override {
    state_->stopping = true;
    state_->wake.wake();
  }

  static void run(std::shared_ptr<State> state, int socket, std::function<void()> onChange) {
    PathChangeFilter filter;
    filter.changed(networkPathSignature());  // the first path seen
    std::optional<Clock::time_point> kickAt;
    pollfd fds[2] = {{socket, POLLIN, 0}, {state->wake.readFd(), POLLIN, 0}};
    while (!state->stopping) {
      int timeout = -1;
      if (kickAt) {
        timeout = static_cast<int>(std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(*kickAt - Clock::now()).count()));
      }
      if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;
      if (state->stopping) break;
      if (fds[0].revents & POLLIN) {
        char buffer[8192];
        while (recv(socket, buffer, sizeof buffer, 0) > 0) {
        }
        // A burst of changes moves the kick on: one kick, 2 s after the last.
        if (filter.changed(networkPathSignature())) {
          kickAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(kSettleSeconds));
        }
      }
      if (kickAt && Clock::now() >= *kickAt) {
        kickAt.reset();
        onChange();
      }
    }
    close(socket);
  }

 private:
  std::shared_ptr<State> state_;
};

class LogindResumeWatch final : public ResumeWatch {
 public:
  struct State {
    WakePipe wake;
    std::atomic<bool> stopping{false};
    std::function<void()> onResume;
  };

  explicit LogindResumeWatch(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~LogindResumeWatch() override { stop(); }
  void stop() override {
    state_->stopping = true;
    state_->wake.wake();
  }

  static int onSignal(sd_bus_message* message, void* user, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) >= 0 && !sleeping) {
      static_cast<State*>(user)->onResume();
    }
    return 0;
  }

  static void run(std::shared_ptr<State> state, sd_bus* bus) {
    while (!state->stopping) {
      int processed = 0;
      while ((processed = sd_bus_process(bus, nullptr)) > 0) {
      }
      if (processed < 0) {
        logLine("Waking from sleep is no longer noticed: the system bus went away");
        break;
      }
      pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                       {state->wake.readFd(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    }
    sd_bus_flush_close_unref(bus);
  }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace

std::shared_ptr<NetworkWatch> NetworkWatch::start(std::function<void()> onChange,
                                                  std::string& error) {
  const int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (socket < 0) {
    error = std::string("netlink: ") + std::strerror(errno);
    return nullptr;
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE;
  if (bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    error = std::string("netlink: ") + std::strerror(errno);
    close(socket);
    return nullptr;
  }
  auto state = std::make_shared<NetlinkWatch::State>();
  std::thread(NetlinkWatch::run, state, socket, std::move(onChange)).detach();
  return std::make_shared<NetlinkWatch>(state);
}

std::shared_ptr<ResumeWatch> ResumeWatch::start(std::function<void()> onResume,
                                                std::string& error) {
  sd_bus* bus = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result < 0) {
    error = std::string("system bus unreachable: ") + std::strerror(-result);
    return nullptr;
  }
  auto state = std::make_shared<LogindResumeWatch::State>();
  state->onResume = std::move(onResume);
  // The slot lives as long as the bus ("floating"); the bus lives with the thread.
  result = sd_bus_match_signal(bus, nullptr, nullptr, "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "PrepareForSleep",
                               LogindResumeWatch::onSignal, state.get());
  if (result < 0) {
    error = std::string("couldn't follow sleep and wake: ") + std::strerror(-result);
    sd_bus_flush_close_unref(bus);
    return nullptr;
  }
  std::thread(LogindResumeWatch::run, state, bus).detach();
  return std::make_shared<LogindResumeWatch>(state);
}

}  // namespace nimbrel
