#pragma once

// An HTTP server written straight on Beast's synchronous API, on its own thread, on
// 127.0.0.1: every request is recorded and answered by the test's handler, one connection at a
// time, until the server goes.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbrel::test {

class ScriptedHttp {
 public:
  using Request = boost::beast::http::request<boost::beast::http::string_body>;
  using Response = boost::beast::http::response<boost::beast::http::string_body>;
  using Handler = std::function<Response(const Request&)>;

  explicit ScriptedHttp(Handler handler)
      : handler_(std::move(handler)),
        acceptor_(io_, {boost::asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedHttp() {
    stopping_ = true;
    boost::system::error_code ignored;
    boost::asio::ip::tcp::socket poke(io_);
    poke.connect(acceptor_.local_endpoint(), ignored);
    thread_.join();
  }

  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
  }

  std::vector<Request> requests() {
    std::lock_guard guard(lock_);
    return requests_;
  }

  // A response with a status and a body (JSON, say), and extra header fields.
  static Response answer(int status, std::string body = {},
                         std::vector<std::pair<std::string, std::string>> fields = {}) {
    Response response{static_cast<boost::beast::http::status>(status), 11};
    for (auto& [name, value] : fields) response.set(name, value);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
  }

 private:
  void serve() {
    namespace http = boost::beast::http;
    while (!stopping_) {
      boost::system::error_code error;
      boost::asio::ip::tcp::socket socket(io_);
      acceptor_.accept(socket, error);
      if (error || stopping_) return;
      boost::beast::flat_buffer buffer;
      Request request;
      http::read(socket, buffer, request, error);
      if (error) continue;
      {
        std::lock_guard guard(lock_);
        requests_.push_back(request);
      }
      Response response = handler_(request);
      response.keep_alive(false);
      http::write(socket, response, error);
      socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
    }
  }

  Handler handler_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::vector<Request> requests_;
  std::thread thread_;
};

}  // namespace nimbrel::test
