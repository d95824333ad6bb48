#include "base/version.hpp"

#ifndef NIMBREL_VERSION
#define NIMBREL_VERSION "1.0.0"
#endif

namespace nimbrel {

const char* hostVersion() { return NIMBREL_VERSION; }

}  // namespace nimbrel
