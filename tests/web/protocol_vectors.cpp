// Prints, as one JSON object, what the host's own protocol code makes of fixed inputs: the two
// direction keys, both handshake proofs, and messages sealed in each direction (control and frame
// plaintexts, and an empty one). The browser client's unit tests check
// their output against it, so both ends are held to the same bytes.

#include <boost/json.hpp>

#include <cstdio>
#include <string>

#include "session/crypto.hpp"
#include "session/protocol.hpp"
#include "session/secure_channel.hpp"

using namespace nimbrel;
namespace json = boost::json;

namespace {

Bytes sequence(std::size_t count, std::uint8_t first) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

Bytes frameMessage(const json::object& header, const Bytes& payload) {
  const std::string text = protocol::serializeMessage(header);
  Bytes out{0x02, static_cast<std::uint8_t>(text.size() >> 24), static_cast<std::uint8_t>(text.size() >> 16),
            static_cast<std::uint8_t>(text.size() >> 8), static_cast<std::uint8_t>(text.size())};
  out.insert(out.end(), text.begin(), text.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

}  // namespace

int main() {
  const Bytes key = sequence(32, 0x00);
  const Bytes cn = sequence(16, 0xa0);
  const Bytes sn = sequence(16, 0xb0);
  Bytes salt = cn;
  salt.insert(salt.end(), sn.begin(), sn.end());

  const std::string control = "\x01" + protocol::serializeMessage(
                                           json::object{{"t", "text"}, {"s", "\xc3\xa9\xe2\x82\xac\xd0\xb6"}});
  const Bytes frame = frameMessage(
      {{"k", "patch"}, {"id", 7}, {"m", 0}, {"layer", "full"}, {"base", 3},
       {"r", json::array{json::array{16, 32, 2, 1, 3}, json::array{0, 0, 1, 1, 2}}}, {"q", 72},
       {"s", 0}, {"fmt", "jpeg"}, {"png", json::array{1}}},
      Bytes{0xff, 0xd8, 0xff, 0x89, 0x50});
  const Bytes plaintexts[] = {toBytes(control), frame, Bytes{}};

  SecureChannel host(key, cn, sn, SecureChannel::Role::host);
  SecureChannel client(key, cn, sn, SecureChannel::Role::client);
  json::array sealed;
  for (const Bytes& plain : plaintexts) {
    sealed.push_back(json::object{{"plaintext", hexEncode(plain)},
                                  {"hostToClient", hexEncode(host.seal(plain))},
                                  {"clientToHost", hexEncode(client.seal(plain))}});
  }

  json::object out{
      {"key", hexEncode(key)},
      {"clientNonce", hexEncode(cn)},
      {"serverNonce", hexEncode(sn)},
      {"clientToHostKey", hexEncode(hkdfSha256(key, salt, "vf1 c2s", 32))},
      {"hostToClientKey", hexEncode(hkdfSha256(key, salt, "vf1 s2c", 32))},
      {"clientProof", hexEncode(proof(key, "client", cn, sn))},
      {"serverProof", hexEncode(proof(key, "server", cn, sn))},
      {"sealed", std::move(sealed)},
  };
  std::puts(json::serialize(out).c_str());
  return 0;
}
