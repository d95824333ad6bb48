#include "cloud/link_schedule.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace nimbrel {

double pollDelay(std::optional<double> interval, double elapsed,
                 const std::vector<PollStep>& schedule) {
  const double wish = interval && std::isfinite(*interval) ? std::max(*interval, 0.0) : 3.0;
  double minimum = schedule.empty() ? 0 : schedule.back().minimum;
  for (const PollStep& step : schedule) {
    if (step.bound > elapsed) {
      minimum = step.minimum;
      break;
    }
  }
  return std::max(wish, minimum);
}

double rateLimitPause(std::optional<double> retryAfter, double maxRetryAfter) {
  return std::min(maxRetryAfter, retryAfter.value_or(60.0));
}

double nextBackoff(double backoff, bool nudged) {
  return nudged ? 1.0 : std::min(2 * backoff, 30.0);
}

double nextEnrolRetry(double retry) { return std::min(2 * retry, 300.0); }

RoundResult afterControlClosed(std::optional<std::uint16_t> code, bool grantWasReused) {
  if (!code) return RoundResult::shortPause;
  switch (*code) {
    case 4401:  // the relay token is unknown or expired
      return grantWasReused ? RoundResult::againFresh : RoundResult::backOff;
    case 4409:  // another connection of this host replaced this one
    case 4410:  // the host was removed
      return RoundResult::backOff;
    default:
      return RoundResult::shortPause;
  }
}

bool grantReusable(std::string_view grantToken, double expires, std::string_view hostToken,
                   double now, double margin) {
  return grantToken == hostToken && expires - now > margin;
}

std::string pathSegment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> safeHeaderValue(std::string_view text) {
  if (text.empty() || text.size() > 128) return std::nullopt;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f) return std::nullopt;
  }
  return std::string(text);
}

std::string_view trimSlashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return text;
}

}  // namespace nimbrel
