#include "input/xsettings.hpp"

#include <string>

#include "platform/x11_connection.hpp"

namespace nimbrel {
namespace {

class Reader {
 public:
  Reader(std::string_view data, bool bigEndian) : data_(data), bigEndian_(bigEndian) {}
  bool has(std::size_t n) const { return pos_ + n <= data_.size(); }
  bool skip(std::size_t n) {
    if (!has(n)) return false;
    pos_ += n;
    return true;
  }
  std::optional<std::uint32_t> card(std::size_t bytes) {
    if (!has(bytes)) return std::nullopt;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
      const auto b = static_cast<std::uint8_t>(data_[pos_ + (bigEndian_ ? i : bytes - 1 - i)]);
      v = (v << 8) | b;
    }
    pos_ += bytes;
    return v;
  }
  std::optional<std::string_view> bytes(std::size_t n) {
    if (!has(n)) return std::nullopt;
    auto out = data_.substr(pos_, n);
    pos_ += n;
    return out;
  }

 private:
  std::string_view data_;
  bool bigEndian_;
  std::size_t pos_ = 0;
};

std::size_t pad4(std::size_t n) { return (4 - n % 4) % 4; }

}  // namespace

std::optional<std::int32_t> xsettingsInteger(std::string_view data, std::string_view name) {
  if (data.size() < 12) return std::nullopt;
  Reader r(data, data[0] == 'B');
  r.skip(4);  // byte order, padding
  const auto serial = r.card(4);
  const auto count = r.card(4);
  if (!serial || !count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    const auto type = r.card(1);
    r.skip(1);
    const auto nameLength = r.card(2);
    if (!type || !nameLength) return std::nullopt;
    const auto settingName = r.bytes(*nameLength);
    if (!settingName || !r.skip(pad4(*nameLength)) || !r.skip(4)) return std::nullopt;
    switch (*type) {
      case 0: {  // integer
        const auto value = r.card(4);
        if (!value) return std::nullopt;
        if (*settingName == name) return static_cast<std::int32_t>(*value);
        break;
      }
      case 1: {  // string
        const auto length = r.card(4);
        if (!length || !r.skip(*length) || !r.skip(pad4(*length))) return std::nullopt;
        break;
      }
      case 2:  // colour: four 16-bit values
        if (!r.skip(8)) return std::nullopt;
        break;
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<double> desktopDoubleClickInterval(const X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  const xcb_atom_t selection = connection.atom("_XSETTINGS_S0");
  const xcb_atom_t property = connection.atom("_XSETTINGS_SETTINGS");
  if (selection == XCB_ATOM_NONE || property == XCB_ATOM_NONE) return std::nullopt;
  XcbReply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr));
  if (!owner || owner->owner == XCB_NONE) return std::nullopt;
  XcbReply<xcb_get_property_reply_t> value(xcb_get_property_reply(
      c, xcb_get_property(c, 0, owner->owner, property, property, 0, 1 << 20), nullptr));
  if (!value || value->format != 8) return std::nullopt;
  const std::string_view data(static_cast<const char*>(xcb_get_property_value(value.get())),
                              static_cast<std::size_t>(xcb_get_property_value_length(value.get())));
  const auto ms = xsettingsInteger(data, "Net/DoubleClickTime");
  if (!ms || *ms <= 0 || *ms > 5000) return std::nullopt;
  return *ms / 1000.0;
}

}  // namespace nimbrel
