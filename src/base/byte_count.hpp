#pragma once

#include <string>

namespace nimbrel {

// A byte count as a person reads a file size: "Zero KB", "1 byte", "999 bytes", "12 KB",
// "4.2 MB", "1.25 GB" (decimal units).
std::string fileStyleByteCount(long long bytes);

}  // namespace nimbrel
