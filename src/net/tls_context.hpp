#pragma once

#include <memory>

namespace boost::asio::ssl {
class context;
}

namespace nimbrel {

// The client TLS context every outgoing connection verifies servers with by default: the
// system's CA store, peer verification on (host names are checked per connection). Shared.
std::shared_ptr<boost::asio::ssl::context> systemTlsContext();

}  // namespace nimbrel
