#pragma once

#include <string>
#include <string_view>

namespace nimbrel::cloud {

// A name from a request, fit for one log line: in quotes, control characters and quotes
// escaped, cut at 80 characters.
std::string quote(std::string_view text);

// Logs one line of the service's events (enrolled, claimed, online, sessions, rate limits).
void logEvent(std::string_view text);

// From now on every line goes to standard output, stamped with the UTC time, one per line.
void logEventsToStandardOutput();

}  // namespace nimbrel::cloud
