#pragma once

// For the direct server only: wraps a connection whose HTTP upgrade request has been read.

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "net/websocket_transport.hpp"

namespace nimbrel {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;

// `open` answers the upgrade. The socket's executor must be a strand. Messages are limited to
// kPreAuthMessageSize until the peer has authenticated.
std::shared_ptr<WebSocketTransport> acceptedTransport(asio::ip::tcp::socket socket,
                                                      UpgradeRequest request, std::string label);

// "127.0.0.1" for both 127.0.0.1 and ::ffff:127.0.0.1; other addresses in their usual form.
std::string addressText(const asio::ip::address& address);

// No-delay, keep-alive (idle 10 s) and the interactive-video traffic class on a TCP socket.
void tuneSocket(asio::ip::tcp::socket& socket);

}  // namespace nimbrel
