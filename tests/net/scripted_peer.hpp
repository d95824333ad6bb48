#pragma once

// A WebSocket peer written straight on Beast's synchronous API, on its own thread: it accepts
// one connection on 127.0.0.1 (optionally over TLS) and runs a script against it.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <functional>
#include <thread>

namespace nimbrel::test {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

class ScriptedPeer {
 public:
  using Socket = websocket::stream<tcp::socket>;
  using TlsSocket = websocket::stream<beast::ssl_stream<tcp::socket>>;

  explicit ScriptedPeer(std::function<void(Socket&)> script)
      : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this, script] {
      try {
        Socket ws(accept());
        ws.accept();
        script(ws);
      } catch (const std::exception&) {
        // The client under test may end the connection at any point of the script.
      }
    });
  }

  ScriptedPeer(boost::asio::ssl::context& tls, std::function<void(TlsSocket&)> script)
      : acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this, &tls, script] {
      try {
        TlsSocket ws(accept(), tls);
        ws.next_layer().handshake(boost::asio::ssl::stream_base::server);
        ws.accept();
        script(ws);
      } catch (const std::exception&) {
      }
    });
  }

  ~ScriptedPeer() {
    boost::system::error_code ignored;
    if (!accepted_) {
      // Nobody connected: wake the blocking accept so the thread can end.
      tcp::socket poke(io_);
      poke.connect(acceptor_.local_endpoint(), ignored);
    }
    thread_.join();
    acceptor_.close(ignored);
  }

  unsigned short port() const { return acceptor_.local_endpoint().port(); }

 private:
  tcp::socket accept() {
    tcp::socket socket = acceptor_.accept();
    accepted_ = true;
    return socket;
  }

  std::atomic<bool> accepted_{false};
  boost::asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

}  // namespace nimbrel::test
