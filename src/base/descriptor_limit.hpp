#pragma once

#include <string>

namespace nimbrel {

// Raises this process's limit of open descriptors to the most the system allows it (the hard
// limit), so that a crowd of connections meets the server's own caps, not the default 1,024.
// Gives what went wrong, or nothing.
std::string raiseDescriptorLimit();

}  // namespace nimbrel
