// WebSocket transport over loopback, against a bare Beast echo measured the same way: one
// io_context driven by the benchmark thread, so both pay the same scheduling costs.
//
//   transport_roundtrip          1 KiB binary message there and back (items/s = round trips/s)
//   transport_send_throughput    256 KiB binary messages with sendAndWait (bytes/s)
//   beast_roundtrip, beast_send_throughput: the same with bare Beast streams.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "net/direct_server.hpp"
#include "net/websocket_transport.hpp"

namespace nimbrel {
namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::size_t kSmall = 1024;
constexpr std::size_t kLarge = 256 * 1024;

// Runs the io_context on this thread until `task` has completed.
template <typename T>
T drive(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr error;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    error = e;
    if (!e) result.emplace(std::move(value));
  });
  while (!result && !error) io.run_one();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

// The accepted side: echoes every message, or swallows it.
asio::awaitable<void> serveTransport(std::shared_ptr<WebSocketTransport> t, bool echo) {
  co_await t->open(5);
  try {
    for (;;) {
      auto message = co_await t->receiveFrame();
      if (echo) co_await t->sendAndWait(std::move(message.data));
    }
  } catch (const TransportError&) {
  }
}

// A dialled transport connected to the direct server, whose side runs serveTransport.
struct TransportPair {
  TransportPair(asio::io_context& io, bool echo) {
    server = DirectServer::create(io.get_executor(), [&io, echo](auto transport) {
      asio::co_spawn(io, serveTransport(transport, echo), asio::detached);
    });
    server->start(0, "bench", "benchbench", false);
    while (server->localPort() == 0) io.run_one();
    client = WebSocketTransport::dial(
        io.get_executor(), "ws://127.0.0.1:" + std::to_string(server->localPort()) + "/", "bench");
    drive(io, [](std::shared_ptr<WebSocketTransport> c) -> asio::awaitable<int> {
      co_await c->open(5);
      co_return 0;
    }(client));
  }
  ~TransportPair() {
    client->close();
    server->stop();
  }
  std::shared_ptr<DirectServer> server;
  std::shared_ptr<WebSocketTransport> client;
};

void transport_roundtrip(benchmark::State& state) {
  asio::io_context io;
  {
    TransportPair pair(io, true);
    for (auto _ : state) {
      drive(io, [](std::shared_ptr<WebSocketTransport> c) -> asio::awaitable<int> {
        co_await c->sendAndWait(Bytes(kSmall, 0x42));
        co_return static_cast<int>((co_await c->receiveFrame()).data.size());
      }(pair.client));
    }
    state.SetItemsProcessed(state.iterations());
  }
  io.run_for(std::chrono::milliseconds(50));
}
BENCHMARK(transport_roundtrip)->UseRealTime();

void transport_send_throughput(benchmark::State& state) {
  asio::io_context io;
  {
    TransportPair pair(io, false);
    const Bytes payload(kLarge, 0x42);
    for (auto _ : state) {
      drive(io, [](std::shared_ptr<WebSocketTransport> c, Bytes p) -> asio::awaitable<int> {
        co_await c->sendAndWait(std::move(p));
        co_return 0;
      }(pair.client, payload));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLarge));
  }
  io.run_for(std::chrono::milliseconds(50));
}
BENCHMARK(transport_send_throughput)->UseRealTime();

// ---- bare Beast, for comparison ----

using BeastSocket = websocket::stream<beast::tcp_stream>;

asio::awaitable<void> serveBeast(tcp::acceptor& acceptor, bool echo) {
  BeastSocket ws(co_await acceptor.async_accept(asio::use_awaitable));
  co_await ws.async_accept(asio::use_awaitable);
  ws.read_message_max(32 << 20);
  ws.binary(true);
  beast::flat_buffer buffer;
  try {
    for (;;) {
      co_await ws.async_read(buffer, asio::use_awaitable);
      if (echo) co_await ws.async_write(buffer.data(), asio::use_awaitable);
      buffer.consume(buffer.size());
    }
  } catch (const boost::system::system_error&) {
  }
}

struct BeastPair {
  BeastPair(asio::io_context& io, bool echo)
      : acceptor(io, {asio::ip::make_address("127.0.0.1"), 0}), client(io) {
    asio::co_spawn(io, serveBeast(acceptor, echo), asio::detached);
    drive(io, [](BeastSocket& ws, tcp::endpoint at) -> asio::awaitable<int> {
      co_await beast::get_lowest_layer(ws).async_connect(at, asio::use_awaitable);
      beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true));
      co_await ws.async_handshake("127.0.0.1", "/", asio::use_awaitable);
      ws.binary(true);
      co_return 0;
    }(client, acceptor.local_endpoint()));
  }
  tcp::acceptor acceptor;
  BeastSocket client;
};

void beast_roundtrip(benchmark::State& state) {
  asio::io_context io;
  {
    BeastPair pair(io, true);
    const Bytes payload(kSmall, 0x42);
    beast::flat_buffer buffer;
    for (auto _ : state) {
      drive(io, [](BeastSocket& ws, const Bytes& p, beast::flat_buffer& b) -> asio::awaitable<int> {
        co_await ws.async_write(asio::buffer(p), asio::use_awaitable);
        const std::size_t n = co_await ws.async_read(b, asio::use_awaitable);
        b.consume(b.size());
        co_return static_cast<int>(n);
      }(pair.client, payload, buffer));
    }
    state.SetItemsProcessed(state.iterations());
  }
  io.run_for(std::chrono::milliseconds(50));
}
BENCHMARK(beast_roundtrip)->UseRealTime();

void beast_send_throughput(benchmark::State& state) {
  asio::io_context io;
  {
    BeastPair pair(io, false);
    const Bytes payload(kLarge, 0x42);
    for (auto _ : state) {
      drive(io, [](BeastSocket& ws, const Bytes& p) -> asio::awaitable<int> {
        co_await ws.async_write(asio::buffer(p), asio::use_awaitable);
        co_return 0;
      }(pair.client, payload));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLarge));
  }
  io.run_for(std::chrono::milliseconds(50));
}
BENCHMARK(beast_send_throughput)->UseRealTime();

}  // namespace
}  // namespace nimbrel
