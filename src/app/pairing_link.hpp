#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/host_config.hpp"

namespace nimbrel {

// One address of one network interface, as the system lists them.
struct InterfaceAddress {
  std::string interface;
  bool up = false;
  bool loopback = false;
  bool ipv4 = false;
  std::string numeric;  // the address as numeric text, e.g. "192.168.1.20"
};

// The system's interface addresses (getifaddrs), or nothing when they cannot be listed.
std::optional<std::vector<InterfaceAddress>> systemInterfaceAddresses();

// The addresses a client on the local network may reach this host at: up, non-loopback IPv4,
// no link-local, no duplicates; private ranges first, then shared address space, then the
// rest, keeping listing order within a rank; at most five.
std::vector<std::string> localAddresses(const std::optional<std::vector<InterfaceAddress>>& list);

// Percent-encodes a query value: every byte except ASCII letters, digits and "-._~,:@/".
std::string percentEncodeQueryValue(std::string_view value);

// "nimbrel://pair?v=1&id=…&n=…&k=…&p=…&a=…&os=linux" and then "cid" when enrolled, or "c"
// for a non-empty claim code when not.
std::string pairingLink(const HostConfig& config, const std::optional<std::string>& claimCode,
                        const std::vector<std::string>& addresses);

// The same with the addresses of this machine's interfaces right now.
std::string pairingLink(const HostConfig& config, const std::optional<std::string>& claimCode);

// The link a browser opens to reach the web client this host serves: "http://" + the first
// address (127.0.0.1 when there is none) + ":" + port + "/#" + the pairing link's query. The
// values ride in the fragment, which browsers never send, so the key reaches no request line
// and no log. Empty for text that is not a pairing link with a port.
std::string browserLink(std::string_view link);

// The link that opens the web client Nimbrel Cloud serves at the root of `api`, with the
// pairing link's values in the fragment: the browser keeps the key (the service never sees
// it) and, with a claim code, adds this computer to the account signed in. Empty unless the
// link names the computer to an account ("cid" or "c") and `api` is an http(s) URL of a root.
std::string cloudBrowserLink(std::string_view link, std::string_view api);

// The block the headless host prints for a pairing link (and its browser links; the cloud one
// with `api`, the service's URL), ending in a blank line.
std::string pairingLinkBlock(std::string_view link, std::string_view api = {});

}  // namespace nimbrel
