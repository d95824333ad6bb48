#pragma once

// A relay for the cloud link's tests, on Beast's synchronous API: it accepts WebSocket
// connections on 127.0.0.1, one thread each, and hands each (with its request) to the next
// script the test queued. A connection with no script waiting is closed at once. Upgrades can
// be held unanswered, to keep the link's dials in flight.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace nimbrel::test {

class ScriptedRelay {
 public:
  using Socket = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Script = std::function<void(const Request&, Socket&)>;

  ScriptedRelay() : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedRelay() {
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
      holdPrefix_.clear();
    }
    changed_.notify_all();
    boost::system::error_code ignored;
    boost::asio::ip::tcp::socket poke(io_);
    poke.connect(acceptor_.local_endpoint(), ignored);
    thread_.join();
    for (std::thread& connection : connections_) connection.join();
  }

  std::string url() const {
    return "ws://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
  }

  void then(Script script) {
    std::lock_guard guard(lock_);
    scripts_.push_back(std::move(script));
  }

  // Upgrade requests whose target starts with `prefix` are read and recorded but left
  // unanswered until releaseHeld().
  void holdUpgrades(std::string prefix) {
    std::lock_guard guard(lock_);
    holdPrefix_ = std::move(prefix);
  }
  void releaseHeld() {
    {
      std::lock_guard guard(lock_);
      holdPrefix_.clear();
    }
    changed_.notify_all();
  }

  // The requests of every connection so far, in order of arrival.
  std::vector<Request> requests() {
    std::lock_guard guard(lock_);
    return requests_;
  }

  // Waits until `count` connections have arrived.
  bool waitForConnections(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(20),
                             [&] { return requests_.size() >= count; });
  }

 private:
  void serve() {
    while (!stopping_) {
      boost::system::error_code error;
      boost::asio::ip::tcp::socket socket(io_);
      acceptor_.accept(socket, error);
      if (error || stopping_) return;
      connections_.emplace_back([this, s = std::move(socket)]() mutable { run(std::move(s)); });
    }
  }

  void run(boost::asio::ip::tcp::socket socket) {
    try {
      boost::beast::flat_buffer buffer;
      Request request;
      boost::beast::http::read(socket, buffer, request);
      {
        std::unique_lock guard(lock_);
        requests_.push_back(request);
        changed_.notify_all();
        changed_.wait(guard, [&] {
          return holdPrefix_.empty() || !std::string_view(request.target()).starts_with(holdPrefix_);
        });
        if (stopping_) return;
      }
      Socket ws(std::move(socket));
      ws.accept(request);
      Script script;
      {
        std::lock_guard guard(lock_);
        if (!scripts_.empty()) {
          script = std::move(scripts_.front());
          scripts_.pop_front();
        }
      }
      if (script) {
        script(request, ws);
      } else {
        ws.close(boost::beast::websocket::close_code::going_away);
      }
    } catch (const std::exception&) {
      // The link may drop a connection at any point of a script.
    }
  }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Script> scripts_;
  std::string holdPrefix_;
  std::vector<Request> requests_;
  std::vector<std::thread> connections_;  // joined at the end
  std::thread thread_;
};

}  // namespace nimbrel::test
