#include "session/protocol.hpp"

#include <boost/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <type_traits>

#include "base/graphemes.hpp"

namespace nimbrel::protocol {

namespace json = boost::json;

namespace {

// An integer from a number as read: nothing when it is not finite or does not fit.
std::optional<long long> toInteger(double number) {
  if (!std::isfinite(number) || number >= 9223372036854775808.0 || number < -9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<long long>(number);
}

std::string readText(const json::object& message, std::string_view key, std::string fallback) {
  const json::value* value = message.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::move(fallback);
}

bool readBool(const json::object& message, std::string_view key, bool fallback) {
  const json::value* value = message.if_contains(key);
  return value && value->is_bool() ? value->get_bool() : fallback;
}

// A click's "n": an integral JSON number, else nothing (a text never counts).
std::optional<long long> integralValue(const json::value* value) {
  if (!value) return std::nullopt;
  if (value->is_int64()) return value->get_int64();
  if (value->is_uint64()) return static_cast<long long>(std::min<std::uint64_t>(value->get_uint64(), 3));
  if (value->is_double() && std::trunc(value->get_double()) == value->get_double() &&
      std::abs(value->get_double()) < 1e15) {
    return static_cast<long long>(value->get_double());
  }
  return std::nullopt;
}

std::optional<NormalisedPoint> pointIfGiven(const json::object& message) {
  if (!message.contains("x")) return std::nullopt;
  return NormalisedPoint{readNumber(message, "x"), readNumber(message, "y")};
}

double roundToFivePlaces(double value) { return std::round(value * 100000) / 100000; }

void writeNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0) value = 0;  // no "-0"
  char text[400];  // the longest fixed form of a double is a little over 300 characters
  const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  out.append(text, error == std::errc() ? end : text);
}

void write(std::string& out, const json::value& value) {
  switch (value.kind()) {
    case json::kind::null: out += "null"; break;
    case json::kind::bool_: out += value.get_bool() ? "true" : "false"; break;
    case json::kind::int64: out += std::to_string(value.get_int64()); break;
    case json::kind::uint64: out += std::to_string(value.get_uint64()); break;
    case json::kind::double_: writeNumber(out, value.get_double()); break;
    case json::kind::string: out += json::serialize(value.get_string()); break;
    case json::kind::array: {
      out += '[';
      bool first = true;
      for (const json::value& element : value.get_array()) {
        if (!first) out += ',';
        first = false;
        write(out, element);
      }
      out += ']';
      break;
    }
    case json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : value.get_object()) {
        if (!first) out += ',';
        first = false;
        out += json::serialize(json::string_view(key));
        out += ':';
        write(out, element);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

double readNumber(const json::object& message, std::string_view key) {
  const json::value* value = message.if_contains(key);
  if (!value) return 0;
  if (value->is_double()) return value->get_double();
  if (value->is_int64()) return static_cast<double>(value->get_int64());
  if (value->is_uint64()) return static_cast<double>(value->get_uint64());
  if (!value->is_string()) return 0;
  std::string_view text = value->get_string();
  if (text.starts_with('+')) text.remove_prefix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() ? number : 0;
}

std::optional<Command> parseCommand(const json::object& message) {
  const std::string type = readText(message, "t", "");
  if (type == "ack") {
    if (auto id = toInteger(readNumber(message, "id"))) return Ack{*id};
  } else if (type == "view") {
    return View{readNumber(message, "x"),  readNumber(message, "y"),  readNumber(message, "w"),
                readNumber(message, "h"),  readNumber(message, "pw"), readNumber(message, "ph")};
  } else if (type == "move") {
    return Move{{readNumber(message, "x"), readNumber(message, "y")}};
  } else if (type == "btn") {
    if (auto button = mouseButtonFrom(readText(message, "b", ""))) {
      return Press{*button, readBool(message, "down", false), pointIfGiven(message)};
    }
  } else if (type == "click") {
    if (auto button = mouseButtonFrom(readText(message, "b", "left"))) {
      const long long n = integralValue(message.if_contains("n")).value_or(1);
      return Click{*button, static_cast<int>(std::clamp<long long>(n, 1, 3)), pointIfGiven(message)};
    }
  } else if (type == "scroll") {
    return Scroll{readNumber(message, "dx"), readNumber(message, "dy")};
  } else if (type == "text") {
    return Text{prefixCharacters(readText(message, "s", ""), maxTypedText)};
  } else if (type == "key") {
    Key key{readText(message, "k", ""), {}, readText(message, "a", "press")};
    if (const json::value* list = message.if_contains("mods"); list && list->is_array()) {
      for (const json::value& entry : list->get_array()) {
        if (entry.is_string() && key.mods.size() < maxKeyModifiers) key.mods.emplace_back(entry.get_string());
      }
    }
    return key;
  } else if (type == "stream") {
    return StreamOn{readBool(message, "on", true)};
  } else if (type == "quality") {
    return Quality{readText(message, "q", "auto")};
  } else if (type == "refresh") {
    return Refresh{};
  } else if (type == "mon") {
    if (auto index = toInteger(readNumber(message, "i"))) return SelectMonitor{*index};
  } else if (type == "caretwatch") {
    return CaretWatch{readBool(message, "on", false)};
  } else if (type == "getclip") {
    return GetClip{};
  } else if (type == "setclip") {
    return SetClip{readText(message, "text", "")};
  } else if (type == "ping") {
    const json::value* ts = message.if_contains("ts");
    return Ping{ts ? *ts : json::value(nullptr)};
  }
  return std::nullopt;
}

json::object commandMessage(const Command& command) {
  auto withPoint = [](json::object message, const std::optional<NormalisedPoint>& at) {
    if (at) {
      message["x"] = at->x;
      message["y"] = at->y;
    }
    return message;
  };
  return std::visit(
      [&](const auto& c) -> json::object {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, Ack>) {
          return {{"t", "ack"}, {"id", c.id}};
        } else if constexpr (std::is_same_v<T, View>) {
          return {{"t", "view"}, {"x", c.x}, {"y", c.y}, {"w", c.w}, {"h", c.h}, {"pw", c.pw}, {"ph", c.ph}};
        } else if constexpr (std::is_same_v<T, Move>) {
          return {{"t", "move"}, {"x", c.at.x}, {"y", c.at.y}};
        } else if constexpr (std::is_same_v<T, Press>) {
          return withPoint({{"t", "btn"}, {"b", rawValue(c.button)}, {"down", c.down}}, c.at);
        } else if constexpr (std::is_same_v<T, Click>) {
          return withPoint({{"t", "click"}, {"b", rawValue(c.button)}, {"n", c.count}}, c.at);
        } else if constexpr (std::is_same_v<T, Scroll>) {
          return {{"t", "scroll"}, {"dx", c.dx}, {"dy", c.dy}};
        } else if constexpr (std::is_same_v<T, Text>) {
          return {{"t", "text"}, {"s", c.text}};
        } else if constexpr (std::is_same_v<T, Key>) {
          json::array mods;
          for (const std::string& mod : c.mods) mods.emplace_back(mod);
          return {{"t", "key"}, {"k", c.name}, {"mods", std::move(mods)}, {"a", c.action}};
        } else if constexpr (std::is_same_v<T, StreamOn>) {
          return {{"t", "stream"}, {"on", c.on}};
        } else if constexpr (std::is_same_v<T, Quality>) {
          return {{"t", "quality"}, {"q", c.profile}};
        } else if constexpr (std::is_same_v<T, Refresh>) {
          return {{"t", "refresh"}};
        } else if constexpr (std::is_same_v<T, SelectMonitor>) {
          return {{"t", "mon"}, {"i", c.index}};
        } else if constexpr (std::is_same_v<T, CaretWatch>) {
          return {{"t", "caretwatch"}, {"on", c.on}};
        } else if constexpr (std::is_same_v<T, GetClip>) {
          return {{"t", "getclip"}};
        } else if constexpr (std::is_same_v<T, SetClip>) {
          return {{"t", "setclip"}, {"text", c.text}};
        } else {
          static_assert(std::is_same_v<T, Ping>);
          return {{"t", "ping"}, {"ts", c.ts}};
        }
      },
      command);
}

std::string clientName(const json::object& hello) {
  return prefixCharacters(readText(hello, "name", "phone"), maxClientName);
}

json::object pongMessage(const json::value& ts) { return {{"t", "pong"}, {"ts", ts}}; }

json::object clipMessage(const std::string& text) {
  return {{"t", "clip"}, {"text", prefixCharacters(text, maxClipText)}};
}

json::object cursorMessage(Point pointer, const Rect& monitor) {
  return {{"t", "cursor"},
          {"x", roundToFivePlaces((pointer.x - monitor.x) / monitor.width)},
          {"y", roundToFivePlaces((pointer.y - monitor.y) / monitor.height)},
          {"vis", monitor.contains(pointer)}};
}

json::object caretMessage(const std::optional<Rect>& caret, const Rect& monitor) {
  if (!caret) return {{"t", "caret"}, {"none", true}};
  return {{"t", "caret"},
          {"x", roundToFivePlaces((caret->x - monitor.x) / monitor.width)},
          {"y", roundToFivePlaces((caret->y - monitor.y) / monitor.height)},
          {"w", roundToFivePlaces(caret->width / monitor.width)},
          {"h", roundToFivePlaces(caret->height / monitor.height)}};
}

std::string serializeMessage(const json::value& message) {
  std::string out;
  write(out, message);
  return out;
}

}  // namespace nimbrel::protocol
