#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/geometry_types.hpp"
#include "input/input_backend.hpp"

// The session's wire protocol after the handshake: the client's commands and the host's
// replies, as typed values with pure parse and build functions, and the one way JSON text is
// written for the wire.
namespace nimbrel::protocol {

// Longest texts, in characters (grapheme clusters).
inline constexpr std::size_t maxTypedText = 20000;
inline constexpr std::size_t maxClipText = 100000;
inline constexpr std::size_t maxClientName = 64;
inline constexpr std::size_t maxKeyModifiers = 5;

// A normalised point on the current monitor, as the client sent it (not clamped yet).
struct NormalisedPoint {
  double x = 0;
  double y = 0;
  bool operator==(const NormalisedPoint&) const = default;
};

struct Ack {
  long long id = 0;
  bool operator==(const Ack&) const = default;
};
struct View {
  double x = 0, y = 0, w = 0, h = 0, pw = 0, ph = 0;
  bool operator==(const View&) const = default;
};
struct Move {
  NormalisedPoint at;
  bool operator==(const Move&) const = default;
};
struct Press {  // "btn"
  MouseButton button = MouseButton::left;
  bool down = false;
  std::optional<NormalisedPoint> at;  // move there first
  bool operator==(const Press&) const = default;
};
struct Click {
  MouseButton button = MouseButton::left;
  int count = 1;  // 1 to 3
  std::optional<NormalisedPoint> at;
  bool operator==(const Click&) const = default;
};
struct Scroll {
  double dx = 0, dy = 0;
  bool operator==(const Scroll&) const = default;
};
struct Text {
  std::string text;  // at most maxTypedText characters
  bool operator==(const Text&) const = default;
};
struct Key {
  std::string name;
  std::vector<std::string> mods;  // at most maxKeyModifiers
  std::string action = "press";
  bool operator==(const Key&) const = default;
};
struct StreamOn {
  bool on = true;
  bool operator==(const StreamOn&) const = default;
};
struct Quality {
  std::string profile = "auto";
  bool operator==(const Quality&) const = default;
};
struct Refresh {
  bool operator==(const Refresh&) const = default;
};
struct SelectMonitor {  // "mon"
  long long index = 0;
  bool operator==(const SelectMonitor&) const = default;
};
struct CaretWatch {
  bool on = false;
  bool operator==(const CaretWatch&) const = default;
};
struct GetClip {
  bool operator==(const GetClip&) const = default;
};
struct SetClip {
  std::string text;
  bool operator==(const SetClip&) const = default;
};
struct Ping {
  boost::json::value ts;  // any value, echoed; null when the ping had none
  bool operator==(const Ping&) const = default;
};

using Command = std::variant<Ack, View, Move, Press, Click, Scroll, Text, Key, StreamOn, Quality,
                             Refresh, SelectMonitor, CaretWatch, GetClip, SetClip, Ping>;

// What a control message asks for. Missing keys and keys of the wrong type take their defaults;
// nothing for an unknown or missing "t", a button that is not "left", "right" or "middle", and
// an "ack" or "mon" whose number is not finite or does not fit an integer.
std::optional<Command> parseCommand(const boost::json::object& message);

// The control message a client sends for `command` (parseCommand reads it back as the same).
boost::json::object commandMessage(const Command& command);

// Numbers as clients send them: a JSON number, or a text holding a decimal number; 0 otherwise.
double readNumber(const boost::json::object& message, std::string_view key);

// The client's name from its hello: its "name" text, or "phone", cut to maxClientName
// characters.
std::string clientName(const boost::json::object& hello);

// The host's messages.
boost::json::object pongMessage(const boost::json::value& ts);
boost::json::object clipMessage(const std::string& text);  // cut to maxClipText characters
// The pointer relative to a monitor: 0 to 1 inside it, rounded to 5 places; `visible` inside.
boost::json::object cursorMessage(Point pointer, const Rect& monitor);
// The caret relative to a monitor, or {"none": true}.
boost::json::object caretMessage(const std::optional<Rect>& caret, const Rect& monitor);

// The wire text of a message: JSON with every number as people and hand-written parsers expect
// it, whole values as integers ("fps":30, "sc":1), others in plain decimal ("q":0.125), never
// with an exponent; a number that is not finite is written as null.
std::string serializeMessage(const boost::json::value& message);

}  // namespace nimbrel::protocol
