// A whole session after a good handshake, fed arbitrary decrypted commands: the input is split
// at zero bytes into messages, each sealed with the client's keys and received by the host,
// which decrypts and dispatches it to a recording input back-end and a small synthetic screen.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json.hpp>

#include "capture/synthetic_screen_source.hpp"
#include "support/fake_transport.hpp"
#include "input/null_input.hpp"
#include "session/base64.hpp"
#include "session/crypto.hpp"
#include "session/host_session.hpp"
#include "session/protocol.hpp"

using namespace nimbrel;
namespace json = boost::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Bytes key(32, 7);
  static const Bytes clientNonce(16, 1);
  std::vector<Bytes> plaintexts;
  Bytes current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      plaintexts.push_back(current);

  // Every command the host reads is written back as valid JSON by the wire serializer.
  for (const Bytes& plaintext : plaintexts) {
    if (plaintext.empty() || plaintext[0] != 0x01) continue;
    boost::system::error_code error;
    const json::value value = json::parse(asText(ByteView(plaintext).subspan(1)), error);
    if (error || !value.is_object()) continue;
    if (auto command = protocol::parseCommand(value.get_object())) {
      json::parse(protocol::serializeMessage(protocol::commandMessage(*command)), error);
      if (error) __builtin_trap();
    }
  }
      current.clear();
    } else {
      current.push_back(data[i]);
    }
  }
  plaintexts.push_back(current);

  auto transport = std::make_shared<test::FakeTransport>();
  transport->incoming.push_back(test::text(json::serialize(json::object{
      {"t", "hello"}, {"v", 1}, {"cn", base64Encode(clientNonce)}, {"caps", json::array{"patch"}}})));
  // At the challenge: the auth message, then every command sealed as the client would.
  transport->onText = [&, transport = transport.get()](const std::string& text) {
    boost::system::error_code error;
    const json::value message = json::parse(text, error);
    if (error || !message.is_object() || message.at("t") != "challenge") return;
    const Bytes sn = base64Decode(message.at("sn").as_string()).value();
    transport->incoming.push_back(test::text(json::serialize(json::object{
        {"t", "auth"}, {"proof", base64Encode(proof(key, "client", clientNonce, sn))}})));
    SecureChannel client(key, clientNonce, sn, SecureChannel::Role::client);
    for (const Bytes& plaintext : plaintexts) {
      transport->incoming.push_back(test::binary(client.seal(plaintext)));
    }
  };

  boost::asio::io_context io;
  HostSession::Setup setup;
  setup.via = "direct:127.0.0.1";
  setup.transport = transport;
  setup.identity = {"Fuzz", "0123456789abcdef", hexEncode(key)};
  setup.input = std::make_shared<NullInput>("test", [](const std::string&) {});
  setup.source = std::make_shared<SyntheticScreenSource>(160, 100);
  setup.workers = io.get_executor();
  setup.handshake.delayScale = 0;
  auto session = HostSession::create(std::move(setup));
  boost::asio::co_spawn(io, session->run(), boost::asio::detached);
  io.run();
  return 0;
}
