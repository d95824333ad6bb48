#include "client/client_connection.hpp"

#include <boost/json.hpp>

#include "net/websocket_transport.hpp"
#include "session/base64.hpp"
#include "session/crypto.hpp"
#include "session/protocol.hpp"

namespace nimbrel {

namespace json = boost::json;

namespace {

asio::awaitable<json::object> receiveText(std::shared_ptr<WebSocketTransport> transport) {
  const auto message = co_await transport->receiveFrame();
  boost::system::error_code error;
  json::value value = json::parse(message.text, error);
  if (message.kind != WebSocketMessage::Kind::text || error || !value.is_object()) {
    throw ClientError("the host answered with something other than the handshake");
  }
  co_return std::move(value.get_object());
}

std::string text(const json::object& object, std::string_view key) {
  const json::value* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

// The host's refusal in plain words.
ClientError refusal(const json::object& answer) {
  const std::string code = text(answer, "code");
  const std::string message = text(answer, "msg");
  if (code == "auth") return ClientError("wrong pairing key: the host said \"" + message + "\"");
  if (code == "version") {
    return ClientError("protocol version mismatch: the host said \"" + message + "\"");
  }
  return ClientError("the host refused the connection: " + message);
}

asio::awaitable<std::shared_ptr<ClientConnection>> handshake(
    std::shared_ptr<WebSocketTransport> transport, const PairingTarget& target,
    const std::string& name, const std::vector<std::string>& caps) {
  const Bytes cn = randomBytes(16);
  json::array capList;
  for (const auto& cap : caps) capList.emplace_back(cap);
  json::object hello{{"t", "hello"}, {"v", 1}, {"cn", base64Encode(cn)}, {"name", name},
                     {"caps", std::move(capList)}};
  transport->send(protocol::serializeMessage(hello));
  const json::object challenge = co_await receiveText(transport);
  if (text(challenge, "t") == "error") throw refusal(challenge);
  const auto sn = base64Decode(text(challenge, "sn"));
  if (text(challenge, "t") != "challenge" || !sn || sn->size() != 16) {
    throw ClientError("the host sent a malformed challenge");
  }
  json::object auth{{"t", "auth"}, {"proof", base64Encode(proof(target.key, "client", cn, *sn))}};
  transport->send(protocol::serializeMessage(auth));
  const json::object answer = co_await receiveText(transport);
  if (text(answer, "t") == "error") throw refusal(answer);
  const auto serverProof = base64Decode(text(answer, "proof"));
  if (text(answer, "t") != "welcome" || !serverProof ||
      *serverProof != proof(target.key, "server", cn, *sn)) {
    throw ClientError("the host could not prove that it holds the pairing key");
  }
  co_return std::make_shared<ClientConnection>(
      transport, std::make_shared<SecureChannel>(target.key, cn, *sn, SecureChannel::Role::client));
}

}  // namespace

asio::awaitable<std::shared_ptr<ClientConnection>> ClientConnection::connect(
    asio::any_io_executor executor, PairingTarget target, std::string name,
    std::vector<std::string> caps) {
  if (target.addresses.empty()) throw ClientError("no address to connect to");
  std::string failures;
  for (const std::string& address : target.addresses) {
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    const std::string where = host + ":" + std::to_string(target.port);
    auto transport = WebSocketTransport::dial(executor, "ws://" + where + "/", "client");
    if (!transport) {
      failures += (failures.empty() ? "" : "; ") + where + ": not an address";
      continue;
    }
    std::string failure;
    try {
      co_await transport->open(5);
    } catch (const TransportError& e) {
      failure = e.what();
    }
    if (!failure.empty()) {
      failures += (failures.empty() ? "" : "; ") + where + ": " + failure;
      continue;
    }
    try {
      co_return co_await handshake(transport, target, name, caps);
    } catch (const TransportError& e) {
      throw ClientError("the host at " + where + " closed the connection during the handshake (" +
                        e.what() + ")");
    }
  }
  throw ClientError("couldn't reach the host (" + failures + ")");
}

asio::awaitable<std::shared_ptr<ClientConnection>> ClientConnection::connectUrl(
    asio::any_io_executor executor, std::string url, PairingTarget target, std::string name,
    std::vector<std::string> caps) {
  auto transport = WebSocketTransport::dial(executor, url, "relay");
  if (!transport) throw ClientError("the cloud gave a relay URL that is not ws or wss");
  std::string failure;
  try {
    co_await transport->open(15);
  } catch (const TransportError& e) {
    failure = e.what();
  }
  if (!failure.empty()) throw ClientError("couldn't reach the relay (" + failure + ")");
  try {
    co_return co_await handshake(transport, target, name, caps);
  } catch (const TransportError& e) {
    throw ClientError(std::string("the relay closed the connection during the handshake (") +
                      e.what() + ")");
  }
}

ClientConnection::ClientConnection(std::shared_ptr<WebSocketTransport> transport,
                                   std::shared_ptr<SecureChannel> channel)
    : transport_(std::move(transport)), channel_(std::move(channel)) {}

void ClientConnection::send(const json::object& command) {
  const std::string plaintext = "\x01" + protocol::serializeMessage(command);
  transport_->queueBinary(channel_->seal(asBytes(plaintext)), nullptr);
}

asio::awaitable<HostMessage> ClientConnection::next() {
  for (;;) {
    const auto message = co_await transport_->receiveFrame();
    if (message.kind != WebSocketMessage::Kind::data) continue;
    const Bytes plain = channel_->open(message.data);
    if (plain.empty()) continue;
    HostMessage out;
    if (plain[0] == 0x01) {
      json::value value = json::parse(asText(ByteView(plain).subspan(1)));
      if (!value.is_object()) continue;
      out.json = std::move(value.get_object());
      co_return out;
    }
    if (plain[0] == 0x02 && plain.size() >= 5) {
      const std::size_t length = std::size_t{plain[1]} << 24 | std::size_t{plain[2]} << 16 |
                                 std::size_t{plain[3]} << 8 | plain[4];
      if (5 + length > plain.size()) continue;
      json::value header = json::parse(asText(ByteView(plain).subspan(5, length)));
      if (!header.is_object()) continue;
      out.frame = true;
      out.json = std::move(header.get_object());
      out.payload.assign(plain.begin() + 5 + static_cast<std::ptrdiff_t>(length), plain.end());
      co_return out;
    }
  }
}

void ClientConnection::close() { transport_->close(); }

}  // namespace nimbrel
