#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace boost::asio::ssl {
class context;
}

namespace nimbrel {

namespace asio = boost::asio;

struct HttpRequest {
  std::string method;  // "GET", "POST", "DELETE"
  std::string url;     // http or https
  std::map<std::string, std::string> headers;
  std::string body;    // sent with a Content-Length when not empty
};

struct HttpResponse {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

// No HTTP response at all: refused, unreachable, TLS failure, time-out. what() says which.
class HttpFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One request at a time per call; calls may run side by side.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // Throws HttpFailure when there is no response; a response with any status is returned.
  virtual asio::awaitable<HttpResponse> perform(HttpRequest request) = 0;
};

struct HttpTimeouts {
  double idle = 15;   // seconds without progress
  double total = 60;  // seconds for the whole request
};

// HTTP/1.1 over Beast, one connection per request. https verifies the server's certificate
// and host name against `tls`, or the system's CA store when it is null. Bodies above 1 MiB
// are refused.
std::shared_ptr<HttpClient> makeHttpClient(asio::any_io_executor executor, HttpTimeouts timeouts = {},
                                           std::shared_ptr<asio::ssl::context> tls = {});

}  // namespace nimbrel
