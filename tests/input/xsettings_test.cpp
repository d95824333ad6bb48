// The desktop's double-click time comes from the XSETTINGS property a settings daemon publishes.

#include <gtest/gtest.h>

#include "input/xsettings.hpp"

namespace nimbrel {
namespace {

// Little-endian XSETTINGS data: a string, a colour and integers.
std::string settings(bool bigEndian = false) {
  std::string out;
  auto card = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      const int shift = bigEndian ? (bytes - 1 - i) * 8 : i * 8;
      out.push_back(static_cast<char>((v >> shift) & 0xff));
    }
  };
  auto name = [&](const std::string& n) {
    card(static_cast<std::uint32_t>(n.size()), 2);
    out += n;
    out.append((4 - n.size() % 4) % 4, '\0');
    card(0, 4);  // last-change serial
  };
  out.push_back(bigEndian ? 'B' : 'l');
  out.append(3, '\0');
  card(7, 4);  // serial
  card(4, 4);  // settings
  out.push_back(1), out.push_back(0), name("Net/ThemeName");
  card(7, 4), out += "Adwaita", out.push_back('\0');
  out.push_back(2), out.push_back(0), name("Gtk/Colour");
  card(1, 2), card(2, 2), card(3, 2), card(4, 2);
  out.push_back(0), out.push_back(0), name("Net/DoubleClickTime");
  card(400, 4);
  out.push_back(0), out.push_back(0), name("Net/DndDragThreshold");
  card(static_cast<std::uint32_t>(-8), 4);
  return out;
}

TEST(XSettingsTest, ReadsIntegersPastOtherKindsInEitherByteOrder) {
  for (bool bigEndian : {false, true}) {
    const std::string data = settings(bigEndian);
    EXPECT_EQ(xsettingsInteger(data, "Net/DoubleClickTime"), 400) << bigEndian;
    EXPECT_EQ(xsettingsInteger(data, "Net/DndDragThreshold"), -8) << bigEndian;
    EXPECT_EQ(xsettingsInteger(data, "Net/ThemeName"), std::nullopt);  // a string
    EXPECT_EQ(xsettingsInteger(data, "Net/Missing"), std::nullopt);
  }
}

TEST(XSettingsTest, TruncatedDataGivesNothingAndNeverReadsPastTheEnd) {
  const std::string data = settings();
  for (std::size_t n = 0; n < data.size(); ++n) {
    const auto value = xsettingsInteger(data.substr(0, n), "Net/DndDragThreshold");
    EXPECT_EQ(value, std::nullopt) << n;
  }
}

}  // namespace
}  // namespace nimbrel
