#include "cloud_server/relay.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include <chrono>
#include <utility>

#include "base/clock.hpp"
#include "cloud_server/event_log.hpp"
#include "cloud_server/secrets.hpp"

namespace nimbrel::cloud {

using namespace asio::experimental::awaitable_operators;

struct Relay::Session {
  Session(asio::any_io_executor executor, std::string id, std::string forHost)
      : sid(std::move(id)), hostId(std::move(forHost)), arrival(executor) {}

  std::string sid;
  std::string hostId;
  std::shared_ptr<RelaySocket> client;
  std::shared_ptr<RelaySocket> host;  // set when the host opens its session socket
  asio::steady_timer arrival;         // waits for the host; cancelled when it comes
  bool ended = false;
  std::uint16_t code = 0;
  std::uint64_t toHost = 0;
  std::uint64_t toClient = 0;
  std::uint64_t buffered = 0;
  double opened = 0;
};

namespace {

std::chrono::steady_clock::duration seconds(double value) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(value));
}

// A session id in the log: enough to follow one session, not the whole id.
std::string shortId(const std::string& sid) { return sid.substr(0, 8); }

}  // namespace

Relay::Relay(asio::any_io_executor strand, Limits limits)
    : strand_(std::move(strand)), limits_(limits) {}

bool Relay::isOnline(const std::string& hostId) const {
  std::lock_guard lock(lock_);
  return online_.count(hostId) > 0;
}

std::vector<std::string> Relay::connectedHosts() const {
  std::lock_guard lock(lock_);
  return {online_.begin(), online_.end()};
}

RelayStats Relay::stats() const {
  std::lock_guard lock(lock_);
  return stats_;
}

int Relay::sessionsOf(const std::string& hostId) const {
  int count = 0;
  for (const auto& [sid, session] : sessions_) count += session->hostId == hostId ? 1 : 0;
  return count;
}

std::optional<std::string> Relay::hostOfLiveControl(const std::string& relayTokenHash) const {
  for (const auto& [hostId, control] : controls_) {
    if (!control.relayTokenHash.empty() && control.relayTokenHash == relayTokenHash) return hostId;
  }
  return std::nullopt;
}

asio::awaitable<void> Relay::hostControl(std::shared_ptr<RelaySocket> socket, std::string hostId,
                                         std::string relayTokenHash) {
  const std::uint64_t serial = nextSerial_++;
  if (auto existing = controls_.find(hostId); existing != controls_.end()) {
    existing->second.socket->close(close_code::replaced, "Replaced by a newer connection");
    logEvent("host " + hostId + " reconnected from " + socket->peer() +
             "; the earlier control connection is closed (4409)");
  }
  controls_[hostId] = Control{socket, serial, std::move(relayTokenHash)};
  {
    std::lock_guard lock(lock_);
    online_.insert(hostId);
    stats_.controls = static_cast<int>(controls_.size());
  }
  logEvent("host " + hostId + " online from " + socket->peer());
  std::string why;
  boost::beast::flat_buffer discard;
  for (;;) {
    try {
      co_await socket->read(discard);  // hosts send nothing but pings; anything else is ignored
      discard.consume(discard.size());
    } catch (const ConnectionEnded& e) {
      why = e.code() ? "closed with code " + std::to_string(e.code()) : e.what();
      break;
    }
  }
  socket->close(close_code::normal, "");
  const auto current = controls_.find(hostId);
  if (current != controls_.end() && current->second.serial == serial) {
    controls_.erase(current);
    std::lock_guard lock(lock_);
    online_.erase(hostId);
    stats_.controls = static_cast<int>(controls_.size());
    logEvent("host " + hostId + " offline (" + why + ")");
  }
}

asio::awaitable<void> Relay::client(std::shared_ptr<RelaySocket> socket, std::string hostId) {
  const auto control = controls_.find(hostId);
  if (control == controls_.end()) {
    logEvent("client from " + socket->peer() + " for host " + hostId + ": host offline (4404)");
    socket->close(close_code::offline, "Host offline");
    co_return;
  }
  if (sessionsOf(hostId) >= limits_.maxSessionsPerHost) {
    logEvent("client from " + socket->peer() + " for host " + hostId + ": already " +
             std::to_string(limits_.maxSessionsPerHost) + " sessions (4429)");
    socket->close(close_code::tooMany, "Too many sessions");
    co_return;
  }
  auto session = std::make_shared<Session>(strand_, newSessionId(), hostId);
  session->client = socket;
  sessions_[session->sid] = session;
  {
    std::lock_guard lock(lock_);
    stats_.sessions = static_cast<int>(sessions_.size());
  }
  control->second.socket->sendText(
      boost::json::serialize(boost::json::object{{"t", "incoming"}, {"sid", session->sid}}));

  session->arrival.expires_after(seconds(limits_.hostArrivalTimeout));
  co_await session->arrival.async_wait(asio::as_tuple(asio::use_awaitable));
  if (!session->host && !session->ended) {
    logEvent("session " + shortId(session->sid) + " for host " + hostId +
             ": the host did not come (4504)");
    end(*session, close_code::hostTimeout, "Host did not answer");
  }
  if (session->host && !session->ended) {
    session->opened = uptimeSeconds();
    logEvent("session " + shortId(session->sid) + " opened: client " + socket->peer() +
             " to host " + hostId);
    co_await (pump(session, true) && pump(session, false));
    logEvent("session " + shortId(session->sid) + " closed (code " +
             std::to_string(session->code) + "): " + std::to_string(session->toHost) +
             " bytes to the host, " + std::to_string(session->toClient) +
             " bytes to the client in " +
             std::to_string(static_cast<long long>(uptimeSeconds() - session->opened)) + " s");
  }
  sessions_.erase(session->sid);
  std::lock_guard lock(lock_);
  stats_.sessions = static_cast<int>(sessions_.size());
  ++stats_.sessionsEnded;
}

bool Relay::hostSession(std::shared_ptr<RelaySocket> socket, const std::string& hostId,
                        const std::string& sid) {
  const auto found = sessions_.find(sid);
  if (found == sessions_.end() || found->second->hostId != hostId || found->second->host ||
      found->second->ended) {
    logEvent("host " + hostId + " opened unknown session " + shortId(sid) + " (4404)");
    socket->close(close_code::offline, "No such session");
    return false;
  }
  found->second->host = std::move(socket);
  found->second->arrival.cancel();
  return true;
}

asio::awaitable<void> Relay::pump(std::shared_ptr<Session> session, bool towardsHost) {
  RelaySocket& from = towardsHost ? *session->client : *session->host;
  RelaySocket& to = towardsHost ? *session->host : *session->client;
  std::uint64_t& counter = towardsHost ? session->toHost : session->toClient;
  boost::beast::flat_buffer buffer;
  std::size_t capacity = 0;  // what `buffer` holds allocated, as counted in the stats
  for (;;) {
    bool text = false;
    try {
      text = co_await from.read(buffer);
    } catch (const ConnectionEnded& e) {
      // The side that closed decides the code the other side sees.
      end(*session, e.code() ? e.code() : close_code::goingAway, e.code() ? e.reason() : "");
      bufferResized(capacity, 0);
      co_return;
    }
    bufferResized(std::exchange(capacity, buffer.capacity()), buffer.capacity());
    const std::size_t size = buffer.size();
    session->buffered += size;
    {
      std::lock_guard lock(lock_);
      stats_.peakSessionBuffer = std::max(stats_.peakSessionBuffer, session->buffered);
    }
    try {
      co_await to.write(buffer.data(), text);
    } catch (const ConnectionEnded&) {
      // The other side is gone; its own read reports how, and ends the session.
      to.close(close_code::goingAway, "");
      bufferResized(capacity, 0);
      co_return;
    }
    session->buffered -= size;
    counter += size;
    buffer.consume(size);
    // One large message must not leave the session holding its size for good.
    if (buffer.capacity() > limits_.sessionBufferKeep) {
      buffer.shrink_to_fit();
      bufferResized(std::exchange(capacity, buffer.capacity()), buffer.capacity());
    }
  }
}

void Relay::bufferResized(std::size_t before, std::size_t after) {
  if (before == after) return;
  std::lock_guard lock(lock_);
  stats_.sessionBufferCapacity = stats_.sessionBufferCapacity - before + after;
}

void Relay::end(Session& session, std::uint16_t code, const std::string& reason) {
  if (session.ended) return;
  session.ended = true;
  session.code = code;
  session.client->close(code, reason);
  if (session.host) session.host->close(code, reason);
  session.arrival.cancel();
}

void Relay::cutOff(const std::string& hostId, std::uint16_t code, const std::string& why) {
  if (auto control = controls_.find(hostId); control != controls_.end()) {
    logEvent("host " + hostId + " cut off (" + why + ", " + std::to_string(code) + ")");
    control->second.socket->close(code, why);
    // Closing takes a moment; its token opens no session socket meanwhile.
    control->second.relayTokenHash.clear();
  }
  for (const auto& [sid, session] : sessions_) {
    if (session->hostId == hostId) end(*session, code, why);
  }
}

void Relay::closeAll(std::uint16_t code, const std::string& reason) {
  for (const auto& [host, control] : controls_) control.socket->close(code, reason);
  for (const auto& [sid, session] : sessions_) end(*session, code, reason);
}

}  // namespace nimbrel::cloud
