#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/json/object.hpp>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/bytes.hpp"
#include "client/pairing_target.hpp"
#include "session/secure_channel.hpp"

namespace nimbrel {

class WebSocketTransport;

// A failure a user can act on; what() says what went wrong in plain words.
class ClientError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One message from the host: JSON, or a frame (header and image payload).
struct HostMessage {
  bool frame = false;
  boost::json::object json;  // the message, or the frame's header
  Bytes payload;
};

// The client's side of a session: connect, prove the key, then exchange sealed messages.
class ClientConnection {
 public:
  // Tries the target's addresses in turn. Throws ClientError for an unreachable host, a wrong
  // key, a protocol version the host does not speak, or a host that cannot prove its key.
  static boost::asio::awaitable<std::shared_ptr<ClientConnection>> connect(
      boost::asio::any_io_executor executor, PairingTarget target, std::string name,
      std::vector<std::string> caps);

  // Dials `url` (a relay's ws or wss URL) instead of the target's addresses, then proves the
  // key as connect() does.
  static boost::asio::awaitable<std::shared_ptr<ClientConnection>> connectUrl(
      boost::asio::any_io_executor executor, std::string url, PairingTarget target,
      std::string name, std::vector<std::string> caps);

  ClientConnection(std::shared_ptr<WebSocketTransport> transport,
                   std::shared_ptr<SecureChannel> channel);

  // Queues one command (sealed, in order).
  void send(const boost::json::object& command);

  // The next message; throws when the connection ends.
  boost::asio::awaitable<HostMessage> next();

  void close();

 private:
  std::shared_ptr<WebSocketTransport> transport_;
  std::shared_ptr<SecureChannel> channel_;
};

}  // namespace nimbrel
