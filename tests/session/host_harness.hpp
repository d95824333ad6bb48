#pragma once

// A direct server on loopback whose every connection runs the host's handshake; after a
// successful one the connection echoes each binary message back, until the peer goes.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include <condition_variable>
#include <future>
#include <stdexcept>
#include <thread>

#include "net/direct_server.hpp"
#include "net/websocket_transport.hpp"
#include "session/crypto.hpp"
#include "session/handshake.hpp"
#include "support/io_runner.hpp"

namespace nimbrel::test {

// Starts `server` on a free loopback port and waits until it listens; its port.
inline std::uint16_t listenOnAnyPort(DirectServer& server, const std::string& name,
                                     const std::string& hostID) {
  std::promise<std::pair<std::uint16_t, std::string>> started;
  server.start(0, name, hostID, false, [&](std::uint16_t port, const std::string& failure) {
    started.set_value({port, failure});
  });
  const auto [port, failure] = started.get_future().get();
  if (port == 0) throw std::runtime_error("the test server couldn't listen: " + failure);
  return port;
}

class HostHarness {
 public:
  static constexpr const char* kHostID = "0123456789abcdef";

  // `settings` must outlive the harness.
  explicit HostHarness(HandshakeSettings& settings) : settings_(settings), key_(randomBytes(32)) {
    server_ = DirectServer::create(io_.executor(), [this](std::shared_ptr<WebSocketTransport> t) {
      asio::co_spawn(io_.executor(), serve(t), asio::detached);
    });
    listenOnAnyPort(*server_, "Host", kHostID);
  }

  ~HostHarness() {
    io_.stop();  // no handler may run while the harness goes
    server_.reset();
  }

  IoRunner& io() { return io_; }
  const Bytes& key() const { return key_; }
  std::uint16_t port() const { return server_->localPort(); }
  std::string url() const { return "ws://127.0.0.1:" + std::to_string(port()) + "/"; }

  // The outcome of the next handshake to finish (nothing when it was rejected).
  std::optional<HandshakeResult> nextResult() {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::seconds(20), [&] { return !results_.empty(); });
    if (results_.empty()) throw std::runtime_error("the host never finished a handshake");
    auto result = std::move(results_.front());
    results_.erase(results_.begin());
    return result;
  }

  // Why the next admitted connection ended, as the host's receive saw it.
  std::string nextEnding() {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::seconds(20), [&] { return !endings_.empty(); });
    if (endings_.empty()) throw std::runtime_error("no admitted connection ended");
    std::string ending = endings_.front();
    endings_.erase(endings_.begin());
    return ending;
  }

 private:
  asio::awaitable<void> serve(std::shared_ptr<WebSocketTransport> transport) {
    try {
      co_await transport->open(10);
    } catch (const TransportError&) {
      co_return;
    }
    auto result = co_await admitClient(transport, hexEncode(key_), kHostID,
                                       "direct:" + transport->remoteHost(), settings_);
    const bool admitted = result.has_value();
    {
      std::lock_guard lock(mutex_);
      results_.push_back(std::move(result));
      done_.notify_all();
    }
    if (!admitted) co_return;
    std::string ending;
    try {
      for (;;) {
        auto message = co_await transport->receiveFrame();
        co_await transport->sendAndWait(std::move(message.data));
      }
    } catch (const TransportError& e) {
      ending = e.what();
    }
    transport->close();
    std::lock_guard lock(mutex_);
    endings_.push_back(ending);
    done_.notify_all();
  }

  IoRunner io_;  // first: it outlives every object with I/O on it
  HandshakeSettings& settings_;
  Bytes key_;
  std::shared_ptr<DirectServer> server_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<std::optional<HandshakeResult>> results_;
  std::vector<std::string> endings_;
};

}  // namespace nimbrel::test

#include <boost/json.hpp>

#include "session/base64.hpp"

namespace nimbrel::test {

// The client's side of a successful handshake on an open transport: the channel it shares
// with the host.
inline asio::awaitable<std::shared_ptr<SecureChannel>> handshakeAsClient(
    std::shared_ptr<WebSocketTransport> transport, const Bytes& key) {
  namespace json = boost::json;
  const Bytes cn = randomBytes(16);
  transport->send(json::serialize(json::object{
      {"t", "hello"}, {"v", 1}, {"cn", base64Encode(cn)}, {"name", "harness"}}));
  const auto challenge = json::parse((co_await transport->receiveFrame()).text).as_object();
  const Bytes sn = base64Decode(challenge.at("sn").as_string()).value();
  transport->send(json::serialize(
      json::object{{"t", "auth"}, {"proof", base64Encode(proof(key, "client", cn, sn))}}));
  const auto welcome = json::parse((co_await transport->receiveFrame()).text).as_object();
  if (welcome.at("t") != "welcome") throw std::runtime_error("not welcomed");
  co_return std::make_shared<SecureChannel>(key, cn, sn, SecureChannel::Role::client);
}

}  // namespace nimbrel::test
