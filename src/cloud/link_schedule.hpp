#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

// The cloud link's decisions, apart from its I/O so that tables can test them. Seconds
// throughout.

// One step of the claim-polling schedule: while a claim is younger than `bound`, polls are at
// least `minimum` apart.
struct PollStep {
  double bound;
  double minimum;
};

// The controller's schedule: the service's pace for 10 minutes, then every 30 s at least
// until an hour, then every 5 minutes.
inline const std::vector<PollStep> kDefaultPollSchedule = {
    {600, 0}, {3600, 30}, {std::numeric_limits<double>::infinity(), 300}};

// The wait before the next poll: the service's interval (3 when it gave none), at least the
// minimum of the first step whose bound lies beyond the claim's age (the last step's when none
// does).
double pollDelay(std::optional<double> interval, double elapsed,
                 const std::vector<PollStep>& schedule);

// What a relay round tells the loop to do next.
enum class RoundResult { againFresh, again, rateLimited, shortPause, backOff };

// The pause a rate-limited relay-token call asks for: its "Retry-After", or 60 s without one,
// never more than `maxRetryAfter`.
double rateLimitPause(std::optional<double> retryAfter, double maxRetryAfter);

// The back-off after a wait: 1 s when a kick ended it, else doubled up to 30 s.
double nextBackoff(double backoff, bool nudged);

// The enrolment retry after a failed enrol: doubled up to 300 s.
double nextEnrolRetry(double retry);

// What a closed relay control connection means, by the relay's close code.
RoundResult afterControlClosed(std::optional<std::uint16_t> code, bool grantWasReused);

// A relay grant may be used again when it was obtained with the same host token and expires
// more than `margin` from now.
bool grantReusable(std::string_view grantToken, double expires, std::string_view hostToken,
                   double now, double margin);

// A session identifier as one URL path segment: unreserved characters stay, every other byte
// is percent-encoded.
std::string pathSegment(std::string_view text);

// A header value the relay sent that is safe to send back: at most 128 visible ASCII
// characters; nothing when it is empty, longer, or holds anything else (spaces, control
// characters and line breaks included).
std::optional<std::string> safeHeaderValue(std::string_view text);

// The text with every leading and trailing "/" removed.
std::string_view trimSlashes(std::string_view text);

}  // namespace nimbrel
