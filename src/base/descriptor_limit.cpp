#include "base/descriptor_limit.hpp"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace nimbrel {

std::string raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::strerror(errno);
  if (limit.rlim_cur == limit.rlim_max) return {};
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::strerror(errno);
  return {};
}

}  // namespace nimbrel
