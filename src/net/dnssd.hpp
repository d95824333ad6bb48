#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nimbrel {

// One published DNS-SD service, withdrawn when the object goes.
//
// Publishing never fails the caller: without a running avahi-daemon the advertisement waits
// for one (logged once per outage) and publishes when it appears; a name taken by another
// host on the network is replaced by the daemon's alternative name.
class DnsSdAdvertisement {
 public:
  using TxtRecord = std::vector<std::pair<std::string, std::string>>;

  static std::unique_ptr<DnsSdAdvertisement> publish(std::string instanceName, std::string type,
                                                     std::uint16_t port, TxtRecord txt);
  virtual ~DnsSdAdvertisement() = default;

  // The name the service is currently published under (changes after a collision).
  virtual std::string publishedName() const = 0;
};

inline constexpr const char* kServiceType = "_vantaframe._tcp";

}  // namespace nimbrel
