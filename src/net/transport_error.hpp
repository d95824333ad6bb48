#pragma once

#include <stdexcept>
#include <string>

namespace nimbrel {

// Every failure of a WebSocket transport. what() is the user-facing description.
class TransportError : public std::runtime_error {
 public:
  enum class Kind { closed, failed, timeout };

  static TransportError closed(const std::string& text) {
    return {Kind::closed, text.empty() ? "Connection closed" : text};
  }
  static TransportError failed(const std::string& text) { return {Kind::failed, text}; }
  static TransportError timeout() { return {Kind::timeout, "Timed out"}; }

  Kind kind() const { return kind_; }

 private:
  TransportError(Kind kind, const std::string& description)
      : std::runtime_error(description), kind_(kind) {}
  Kind kind_;
};

}  // namespace nimbrel
