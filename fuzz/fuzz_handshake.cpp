// The host's handshake fed arbitrary first and second messages: the input is split at its first
// zero byte into the hello and the auth message; a leading 'B' makes the first one binary.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "support/fake_transport.hpp"
#include "session/crypto.hpp"
#include "session/handshake.hpp"

using namespace nimbrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  const auto split = input.find('\0');
  std::string first = input.substr(0, split);
  const std::string second = split == std::string::npos ? "" : input.substr(split + 1);

  auto transport = std::make_shared<test::FakeTransport>();
  if (!first.empty() && first[0] == 'B') {
    transport->incoming.push_back(test::binary(Bytes(first.begin() + 1, first.end())));
  } else {
    transport->incoming.push_back(test::text(first));
  }
  transport->incoming.push_back(test::text(second));

  static AuthLimiter limiter([] {
    static double t = 0;
    return t += 100;  // every failure has aged out by the next
  });
  HandshakeSettings settings;
  settings.limiter = &limiter;
  settings.delayScale = 0;
  boost::asio::io_context io;
  boost::asio::co_spawn(
      io, performHandshake(transport, std::string(64, 'a'), "0123456789abcdef", settings),
      [](std::exception_ptr, HandshakeResult) {});
  io.run();
  return 0;
}
