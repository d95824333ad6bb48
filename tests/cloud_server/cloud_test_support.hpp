#pragma once

// Test helpers for the cloud service: blocking HTTP and WebSocket clients on loopback, a
// service running in this process on a real SQLite file with a clock the test moves, and a
// log the test can wait on.

#include <boost/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cloud_server/limits.hpp"
#include "cloud_server/server.hpp"
#include "support/io_runner.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel::cloud::test {

using namespace std::chrono_literals;
using nimbrel::test::IoRunner;
using nimbrel::test::TempDir;

struct HttpResult {
  int status = 0;
  std::string body;
  std::map<std::string, std::string> headers;  // names in lower case
  boost::json::object json() const;            // {} when the body is not an object
  std::string errorCode() const;               // body.error.code
  std::string header(const std::string& lowerCaseName) const {
    const auto found = headers.find(lowerCaseName);
    return found == headers.end() ? "" : found->second;
  }
};

// One request on a fresh connection to 127.0.0.1:`port`. `raw`, when given, is sent as it is
// instead of a request built from the other arguments (for malformed requests).
HttpResult http(std::uint16_t port, const std::string& method, const std::string& target,
                const std::string& body = "", const std::string& bearer = "");
HttpResult httpRaw(std::uint16_t port, const std::string& raw);
// The same as http(), from the loopback address `source` (127.0.0.2, …) instead of 127.0.0.1.
HttpResult httpFrom(const std::string& source, std::uint16_t port, const std::string& method,
                    const std::string& target, const std::string& body = "",
                    const std::string& bearer = "");
// The answer to a WebSocket upgrade request for `target`, from the loopback address `source`:
// 101 when the service takes it, else the status it refused it with.
HttpResult upgrade(std::uint16_t port, const std::string& target, const std::string& bearer = "",
                   const std::string& source = "127.0.0.1");
// Over TLS, trusting only the certificate in `caFile` and checking it names 127.0.0.1.
HttpResult https(std::uint16_t port, const std::string& method, const std::string& target,
                 const std::string& body, const std::string& caFile,
                 const std::string& bearer = "");

// A blocking WebSocket client. Every read gives up after 20 s.
class WsClient {
 public:
  struct Message {
    bool text = false;
    std::string bytes;
  };
  // Connects from the loopback address `source` and completes the upgrade; throws when it is
  // refused.
  WsClient(std::uint16_t port, const std::string& target, const std::string& bearer = "",
           const std::string& source = "127.0.0.1");
  ~WsClient();

  void send(const std::string& bytes, bool text);
  // The next message; throws Closed when the peer closed.
  Message read();
  // Reads until the peer closes; its code (0 for a connection that ended without one).
  int closeCode();
  void close(int code);
  // Shrinks the receive buffer so that a slow reader holds back its peer quickly.
  void setReceiveBuffer(int bytes);

  // The connection ended: `code` is the peer's close code, 0 when it ended without one.
  struct Closed : std::runtime_error {
    explicit Closed(int closeCode)
        : std::runtime_error(closeCode ? "the WebSocket was closed with code " +
                                             std::to_string(closeCode)
                                       : std::string("the WebSocket connection ended")),
          code(closeCode) {}
    int code;
  };

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A TCP connection from `source` that sends nothing (unless asked) and stays open while the
// object lives.
class IdleConnection {
 public:
  IdleConnection(const std::string& source, std::uint16_t port);
  ~IdleConnection();
  // A GET on this connection, which stays open after the answer.
  HttpResult get(const std::string& target);
  // Closes it now.
  void close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Log lines, waited for.
class LogWaiter {
 public:
  LogWaiter();
  ~LogWaiter();
  // True once a line containing `text` has been logged (since the waiter was made).
  bool waitFor(const std::string& text, std::chrono::milliseconds limit = 10s);
  std::vector<std::string> lines() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// A service on 127.0.0.1, port 0, with its database in a temporary directory.
class Service {
 public:
  explicit Service(Limits limits = {}, std::vector<std::string> accounts = {"alice"});
  ~Service();

  std::uint16_t port() const { return server_->port(); }
  const std::string& accountToken(const std::string& name) { return tokens_.at(name); }
  void advance(double seconds) { now_ = now_.load() + seconds; }
  double now() const { return now_.load(); }
  RelayStats stats() const { return server_->relayStats(); }
  const TempDir& dir() const { return dir_; }

  // Enrols a host with `localId` (presenting `hostToken` when given), claims its code into
  // `account` and polls for its token.
  struct Host {
    std::string id;
    std::string token;
  };
  Host enrolAndClaim(const std::string& localId, const std::string& account = "alice",
                     const std::string& hostToken = "");
  // A relay token for the host (its "token"); fails the test when refused.
  std::string relayToken(const std::string& hostToken);
  // A ticket for a client of `hostId` (its "ticket").
  std::string ticket(const std::string& hostId, const std::string& account = "alice");

 private:
  TempDir dir_;
  std::atomic<double> now_{1.8e9};
  std::map<std::string, std::string> tokens_;
  IoRunner io_;
  std::shared_ptr<CloudServer> server_;
};

// A host as the relay sees it: its control connection, and its session sockets on demand.
class RelayHost {
 public:
  RelayHost(std::uint16_t port, std::string relayToken)
      : port_(port), token_(std::move(relayToken)), control(port, "/v2/host", token_) {}
  // Reads the next "incoming" announcement and opens that session's socket.
  std::unique_ptr<WsClient> acceptSession();

 private:
  std::uint16_t port_;
  std::string token_;

 public:
  WsClient control;
};

}  // namespace nimbrel::cloud::test
