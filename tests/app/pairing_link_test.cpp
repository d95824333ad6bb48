#include "app/pairing_link.hpp"

#include <gtest/gtest.h>

#include <map>

#include "session/base64.hpp"
#include "session/crypto.hpp"

namespace nimbrel {
namespace {

InterfaceAddress v4(const char* address, const char* interface = "eth0") {
  return {interface, true, false, true, address};
}

// A client's reading of the link: query items split at "&" and "=", then percent-decoded.
std::map<std::string, std::string> decodeQuery(const std::string& link) {
  const std::string prefix = "nimbrel://pair?";
  EXPECT_EQ(link.substr(0, prefix.size()), prefix);
  std::map<std::string, std::string> items;
  std::string_view rest = std::string_view(link).substr(prefix.size());
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view item = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    const auto eq = item.find('=');
    std::string value;
    for (std::size_t i = eq + 1; i < item.size(); ++i) {
      if (item[i] == '%') {
        value.push_back(static_cast<char>(std::stoi(std::string(item.substr(i + 1, 2)), nullptr, 16)));
        i += 2;
      } else {
        value.push_back(item[i]);
      }
    }
    items[std::string(item.substr(0, eq))] = value;
  }
  return items;
}

HostConfig sampleConfig() {
  HostConfig config;
  config.hostID = "0123456789abcdef";
  config.secret = "fbffbf00112233445566778899aabbccddeeff00112233445566778899aabbcc";
  config.name = "Studio";
  config.port = 7300;
  config.api = "https://api.nimbrel.invalid";
  return config;
}

TEST(LocalAddresses, FiltersRanksAndCaps) {
  const struct {
    const char* label;
    std::optional<std::vector<InterfaceAddress>> list;
    std::vector<std::string> expected;
  } cases[] = {
      {"listing failed", std::nullopt, {}},
      {"nothing usable",
       std::vector<InterfaceAddress>{{"lo", true, true, true, "127.0.0.1"},
                                     {"eth0", false, false, true, "192.168.1.2"},
                                     {"eth0", true, false, false, "fe80::1"},
                                     v4("169.254.10.20")},
       {}},
      {"public after shared after private, listing order kept within a rank",
       std::vector<InterfaceAddress>{v4("8.8.4.4"), v4("100.100.1.1", "tailscale0"),
                                     v4("192.168.1.20"), v4("172.20.0.1"), v4("172.32.0.1"),
                                     v4("10.0.0.5")},
       {"192.168.1.20", "172.20.0.1", "10.0.0.5", "100.100.1.1", "8.8.4.4"}},
      {"six private addresses keep the first five",
       std::vector<InterfaceAddress>{v4("10.0.0.1"), v4("10.0.0.2"), v4("10.0.0.3"),
                                     v4("10.0.0.4"), v4("10.0.0.5"), v4("10.0.0.6")},
       {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}},
      {"same address on two interfaces, range edges",
       std::vector<InterfaceAddress>{v4("192.168.1.2", "eth0"), v4("192.168.1.2", "wlan0"),
                                     v4("100.63.0.1"), v4("100.128.0.1"), v4("100.64.0.1"),
                                     v4("172.15.0.1"), v4("172.31.255.1")},
       {"192.168.1.2", "172.31.255.1", "100.64.0.1", "100.63.0.1", "100.128.0.1"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(localAddresses(c.list), c.expected) << c.label;
  }
}

TEST(PairingLink, ExactFormWithoutCloudItems) {
  EXPECT_EQ(pairingLink(sampleConfig(), std::nullopt, {"192.168.1.20", "10.0.0.5"}),
            "nimbrel://pair?v=1&id=0123456789abcdef&n=Studio&k=-_-_ABEiM0RVZneImaq7zN3u_wARIjNEVWZ3iJmqu8w"
            "&p=7300&a=192.168.1.20,10.0.0.5&os=linux");
  // No address: the item is there with an empty value.
  EXPECT_EQ(decodeQuery(pairingLink(sampleConfig(), std::nullopt, {})).at("a"), "");
}

TEST(PairingLink, CloudItemChoice) {
  HostConfig enrolled = sampleConfig();
  enrolled.cloudID = "cloud-7";
  enrolled.hostToken = "token";
  HostConfig cloudOff = enrolled;
  cloudOff.cloud = false;

  const struct {
    const char* label;
    HostConfig config;
    std::optional<std::string> claim;
    std::optional<std::string> cid, c;
  } cases[] = {
      {"enrolled ignores a held claim code", enrolled, "ABCD-1234", "cloud-7", std::nullopt},
      {"not enrolled with a claim code", sampleConfig(), "ABCD-1234", std::nullopt, "ABCD-1234"},
      {"empty claim code", sampleConfig(), "", std::nullopt, std::nullopt},
      {"no claim code", sampleConfig(), std::nullopt, std::nullopt, std::nullopt},
      {"cloud off is not enrolled", cloudOff, "XY", std::nullopt, "XY"},
  };
  for (const auto& c : cases) {
    const std::string link = pairingLink(c.config, c.claim, {});
    const auto items = decodeQuery(link);
    EXPECT_EQ(items.contains("cid") ? std::optional(items.at("cid")) : std::nullopt, c.cid) << c.label;
    EXPECT_EQ(items.contains("c") ? std::optional(items.at("c")) : std::nullopt, c.c) << c.label;
    // cloud items come last
    const auto os = link.find("&os=linux");
    ASSERT_NE(os, std::string::npos);
    EXPECT_EQ(link.find('&', os + 1) == std::string::npos, !c.cid && !c.c) << c.label;
  }
}

TEST(PairingLink, AwkwardValuesDecodeBackUnchanged) {
  for (const char* name : {"Zoë’s MacBook & \"Pro\"", "a+b=c&d", "50% off #1?", "  spaced  ",
                           "ünïcödé 日本語 💻", "tab\tnew\nline", "semi;colon/slash\\back"}) {
    HostConfig config = sampleConfig();
    config.name = name;
    const std::string link = pairingLink(config, std::string("C+/ =&"), {"10.0.0.1"});
    EXPECT_EQ(link.find(' '), std::string::npos) << name;
    const auto items = decodeQuery(link);
    EXPECT_EQ(items.at("n"), name);
    EXPECT_EQ(items.at("c"), "C+/ =&");
    EXPECT_EQ(items.at("id"), "0123456789abcdef");
  }
}

TEST(PairingLink, KeyIsUrlSafeUnpaddedAndDecodesToTheSecret) {
  for (int i = 0; i < 50; ++i) {
    HostConfig config = sampleConfig();
    config.secret = hexEncode(randomBytes(32));
    const std::string key = decodeQuery(pairingLink(config, std::nullopt, {})).at("k");
    ASSERT_EQ(key.size(), 43u);
    ASSERT_EQ(key.find_first_of("+/="), std::string::npos);
    std::string standard = key;
    for (char& ch : standard) ch = ch == '-' ? '+' : ch == '_' ? '/' : ch;
    EXPECT_EQ(base64Decode(standard + "="), hexDecode(config.secret));
  }
  HostConfig broken = sampleConfig();
  broken.secret = "not hex";
  EXPECT_EQ(decodeQuery(pairingLink(broken, std::nullopt, {})).at("k"), "");
}

TEST(PairingLink, HeadlessBlock) {
  EXPECT_EQ(pairingLinkBlock("nimbrel://pair?v=1"),
            "\nPairing link (scan the QR code in the tray app, or paste this):\n"
            "  nimbrel://pair?v=1\n\n");
  EXPECT_EQ(pairingLinkBlock("nimbrel://pair?v=1&k=abc&p=7300&a=10.0.0.2"),
            "\nPairing link (scan the QR code in the tray app, or paste this):\n"
            "  nimbrel://pair?v=1&k=abc&p=7300&a=10.0.0.2\n\n"
            "Browser link (open it on a phone, tablet or computer on this network):\n"
            "  http://10.0.0.2:7300/#v=1&k=abc&p=7300&a=10.0.0.2\n\n");
}

TEST(PairingLink, CloudBrowserLinkOpensTheServicesAppWithTheValuesInItsFragment) {
  const struct {
    const char* link;
    const char* api;
    const char* cloud;
  } cases[] = {
      {"nimbrel://pair?v=1&id=x&k=K&p=7300&cid=H1", "https://cloud.example",
       "https://cloud.example/#v=1&id=x&k=K&p=7300&cid=H1"},
      {"nimbrel://pair?v=1&id=x&k=K&c=ABCD-1234", "http://127.0.0.1:8088/",
       "http://127.0.0.1:8088/#v=1&id=x&k=K&c=ABCD-1234"},
      {"nimbrel://pair?k=K&cid=H1", "https://[::1]:8443", "https://[::1]:8443/#k=K&cid=H1"},
      // Not in an account and no code to claim it: the service's app could not list it.
      {"nimbrel://pair?v=1&id=x&k=K&p=7300", "https://cloud.example", ""},
      {"nimbrel://pair?v=1&k=K&c=", "https://cloud.example", ""},
      // The app is served at the service's root only.
      {"nimbrel://pair?k=K&cid=H1", "https://example.org/nimbrel", ""},
      {"nimbrel://pair?k=K&cid=H1", "", ""},
      {"nimbrel://pair?k=K&cid=H1", "ftp://cloud.example", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cloudBrowserLink(c.link, c.api), c.cloud) << c.link << " at " << c.api;
  }
  EXPECT_EQ(pairingLinkBlock("nimbrel://pair?v=1&k=abc&cid=H1", "https://cloud.example"),
            "\nPairing link (scan the QR code in the tray app, or paste this):\n"
            "  nimbrel://pair?v=1&k=abc&cid=H1\n\n"
            "From anywhere, in a browser signed in to Nimbrel Cloud (open it once):\n"
            "  https://cloud.example/#v=1&k=abc&cid=H1\n\n");
}

TEST(PairingLink, BrowserLinkCarriesTheValuesInItsFragment) {
  const struct {
    const char* link;
    const char* browser;
  } cases[] = {
      {"nimbrel://pair?v=1&id=x&k=K&p=7300&a=192.168.1.5,10.0.0.2&os=linux",
       "http://192.168.1.5:7300/#v=1&id=x&k=K&p=7300&a=192.168.1.5,10.0.0.2&os=linux"},
      {"nimbrel://pair?v=1&k=K&p=7400&a=&os=linux",
       "http://127.0.0.1:7400/#v=1&k=K&p=7400&a=&os=linux"},
      {"nimbrel://pair?v=1&ap=1&k=K&p=80&a=10.1.1.1", "http://10.1.1.1:80/#v=1&ap=1&k=K&p=80&a=10.1.1.1"},
      {"nimbrel://pair?v=1&k=K&a=10.1.1.1", ""},
      {"not a link", ""},
  };
  for (const auto& c : cases) {
    const std::string browser = browserLink(c.link);
    EXPECT_EQ(browser, c.browser) << c.link;
    if (!browser.empty()) {
      EXPECT_EQ(browser.find('?'), std::string::npos) << "no query: " << browser;
    }
  }
  const std::string full = browserLink(pairingLink(sampleConfig(), std::nullopt, {"192.168.0.9"}));
  EXPECT_TRUE(full.starts_with("http://192.168.0.9:")) << full;
  EXPECT_NE(full.find("/#v=1&id="), std::string::npos) << full;
}

}  // namespace
}  // namespace nimbrel
