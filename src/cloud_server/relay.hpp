#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cloud_server/limits.hpp"
#include "cloud_server/relay_socket.hpp"

namespace nimbrel::cloud {

// Private close codes the relay ends connections with: those of src/net/relay_close_codes.json,
// the table the host, nimbrel-client and the browser app take their meaning from.
namespace close_code {
inline constexpr std::uint16_t normal = 1000;
inline constexpr std::uint16_t goingAway = 1001;  // the service stops, or a peer vanished
inline constexpr std::uint16_t unauthorized = 4401;
inline constexpr std::uint16_t offline = 4404;
inline constexpr std::uint16_t hostTimeout = 4504;  // the host did not open its session socket
inline constexpr std::uint16_t replaced = 4409;
inline constexpr std::uint16_t removed = 4410;
inline constexpr std::uint16_t tooMany = 4429;
}  // namespace close_code

// Counters for tests, benchmarks and the stop.
struct RelayStats {
  int controls = 0;            // hosts online
  int sessions = 0;            // sessions waiting for their host or passing messages
  std::uint64_t peakSessionBuffer = 0;  // most bytes one session ever held (read, not yet written)
  std::uint64_t sessionBufferCapacity = 0;  // what the live sessions' buffers hold allocated now
  std::uint64_t sessionsEnded = 0;
};

// The relay's meeting point: hosts' control connections, clients waiting for their host, and
// relayed sessions passing messages both ways. Every member except the thread-safe ones runs on
// the server's strand.
//
// Backpressure: each direction of a session reads its next message only once the previous one
// has been written to the other side, so a session holds at most one message per direction,
// however slowly either side reads.
class Relay {
 public:
  Relay(asio::any_io_executor strand, Limits limits);

  // A host's control connection, authenticated with the relay token whose hash is
  // `relayTokenHash`: serves it until it ends. A second one of the same host replaces the
  // first (4409).
  asio::awaitable<void> hostControl(std::shared_ptr<RelaySocket> socket, std::string hostId,
                                    std::string relayTokenHash);

  // The host whose open control connection was authenticated with the relay token whose hash
  // is `relayTokenHash`: its session sockets come with that token, expired or not, for as long
  // as the control connection lasts.
  std::optional<std::string> hostOfLiveControl(const std::string& relayTokenHash) const;

  // A client for `hostId`, its ticket checked: announces it to the host and, once the host
  // opens the session socket, passes messages until either side closes.
  asio::awaitable<void> client(std::shared_ptr<RelaySocket> socket, std::string hostId);

  // The host's socket for session `sid`; closed with 4404 (and false) when no such session
  // waits for it.
  bool hostSession(std::shared_ptr<RelaySocket> socket, const std::string& hostId,
                   const std::string& sid);

  // Ends everything of `hostId` with `code`: its control connection and its sessions.
  void cutOff(const std::string& hostId, std::uint16_t code, const std::string& why);

  // Ends every connection with `code` (the service stops).
  void closeAll(std::uint16_t code, const std::string& reason);

  // Thread-safe.
  bool isOnline(const std::string& hostId) const;
  std::vector<std::string> connectedHosts() const;
  RelayStats stats() const;

 private:
  struct Session;
  struct Control {
    std::shared_ptr<RelaySocket> socket;
    std::uint64_t serial = 0;
    std::string relayTokenHash;  // emptied once the connection is being cut off
  };

  asio::awaitable<void> pump(std::shared_ptr<Session> session, bool towardsHost);
  void end(Session& session, std::uint16_t code, const std::string& reason);
  // Records that a session buffer's allocation changed from `before` to `after` bytes.
  void bufferResized(std::size_t before, std::size_t after);
  int sessionsOf(const std::string& hostId) const;

  asio::any_io_executor strand_;
  Limits limits_;
  std::uint64_t nextSerial_ = 1;
  std::map<std::string, Control> controls_;                  // by host id, on the strand
  std::map<std::string, std::shared_ptr<Session>> sessions_;  // by sid, on the strand

  mutable std::mutex lock_;  // guards the fields below (read from the worker)
  std::set<std::string> online_;
  RelayStats stats_;
};

}  // namespace nimbrel::cloud
