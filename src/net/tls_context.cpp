#include "net/tls_context.hpp"

#include <boost/asio/ssl/context.hpp>

namespace nimbrel {

std::shared_ptr<boost::asio::ssl::context> systemTlsContext() {
  namespace ssl = boost::asio::ssl;
  static const std::shared_ptr<ssl::context> context = [] {
    auto c = std::make_shared<ssl::context>(ssl::context::tls_client);
    c->set_default_verify_paths();
    c->set_verify_mode(ssl::verify_peer);
    return c;
  }();
  return context;
}

}  // namespace nimbrel
