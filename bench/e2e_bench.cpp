// The host binary end to end, from a client over loopback:
//   e2e_latency       a "move" that puts the synthetic square (--synthetic cursor) somewhere new,
//                     to the arrival of the patch that shows it there: p50 and p95 in ms,
//                     bytes/patch
//   e2e_idle_cpu      host CPU seconds over 30 s of a connected session on an unchanging screen
//   e2e_latency_x11   the same from a small drawing on an Xvfb screen the host shares, every
//                     100 ms (e2e_latency_x11_sparse: every 300 ms)
//   e2e_idle_cpu_x11  the same on an unchanging Xvfb screen (no grabs without damage)

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <xcb/xcb.h>

#include "base/clock.hpp"
#include "client/client_connection.hpp"
#include "client/cloud_account.hpp"
#include "cloud_process.hpp"
#include "host_process.hpp"
#include "xvfb_server.hpp"

namespace nimbrel {
namespace {

namespace json = boost::json;
namespace asio = boost::asio;
using bench::CloudProcess;
using bench::connectTo;
using bench::HostProcess;

// Acknowledges frames until `until` (uptime); returns each patch's arrival time and size.
asio::awaitable<void> pump(std::shared_ptr<ClientConnection> c, double until,
                           std::vector<std::pair<double, std::size_t>>* patches,
                           std::vector<double>* moves, double* square,
                           std::size_t* answered = nullptr) {
  while (uptimeSeconds() < until) {
    HostMessage m = co_await c->next();
    if (!m.frame) continue;
    c->send({{"t", "ack"}, {"id", m.json.at("id")}});
    if (m.json.at("k") != "patch" || !patches) continue;
    // A patch whose region reaches the square's new place shows the move.
    for (const auto& r : m.json.at("r").as_array()) {
      const double x = double(r.as_array()[0].to_number<long long>());
      const double w = double(r.as_array()[2].to_number<long long>());
      const double y = double(r.as_array()[1].to_number<long long>());
      const double h = double(r.as_array()[3].to_number<long long>());
      // Inside the square's new place (row 400 + 48 of the layer), once per move.
      if (*square >= x && *square < x + w && 448 >= y && 448 < y + h &&
          *answered < moves->size()) {
        patches->push_back({uptimeSeconds() - moves->back(), m.payload.size()});
        *answered = moves->size();  // only the first patch after each move counts
        break;
      }
    }
  }
}

// Sends a move every 100 ms while the pump records which patch answers it.
asio::awaitable<void> moveAround(std::shared_ptr<ClientConnection> client, int count,
                                 std::vector<double>* moves, double* square) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int step = 0; step < count; ++step) {
    const double x = 0.1 + 0.05 * (step % 14);  // across the screen and back
    *square = x * 1600 * 0.8 + 48;  // a pixel inside the square, in the 1280-wide layer
    moves->push_back(uptimeSeconds());
    client->send({{"t", "move"}, {"x", x}, {"y", 0.5}});
    timer.expires_after(std::chrono::milliseconds(100));
    co_await timer.async_wait(asio::use_awaitable);
  }
  client->close();
}

// Something that changes the host's screen now and then, noting when (`changes`) and which
// layer column shows it (`square`), and closes the client when done.
using Changer = std::function<asio::awaitable<void>(std::shared_ptr<ClientConnection>,
                                                    std::vector<double>* changes, double* square)>;

// From each change to the first patch showing it: p50, p95, bytes per patch, and how many
// changes were answered by a patch of their own (counter `answered`).
void measureLatency(benchmark::State& state, asio::io_context& io,
                    std::shared_ptr<ClientConnection> client, const Changer& change,
                    const char* answered) {
  std::vector<std::pair<double, std::size_t>> patches;
  std::vector<double> changes;
  double square = -1;
  std::size_t answeredSoFar = 0;
  for (auto _ : state) {
    asio::co_spawn(io, pump(client, uptimeSeconds() + 60, &patches, &changes, &square, &answeredSoFar),
                   [](std::exception_ptr) {});  // ends when the connection closes
    asio::co_spawn(io, change(client, &changes, &square), asio::detached);
    io.run();
  }
  std::vector<double> ms;
  double bytes = 0;
  for (const auto& [latency, size] : patches) {
    ms.push_back(latency * 1000);
    bytes += double(size);
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    state.counters["bytes_per_patch"] = bytes / double(ms.size());
  }
  state.counters[answered] = double(ms.size());
}

void measureLatency(benchmark::State& state, const HostProcess& host, const Changer& change,
                    const char* answered) {
  asio::io_context io;
  measureLatency(state, io, connectTo(io, host), change, answered);
}

// Host CPU over 30 s of a connected session on an unchanging screen.
void measureIdleCpu(benchmark::State& state, const HostProcess& host) {
  asio::io_context io;
  auto client = connectTo(io, host);
  // Let the first base image and the sharp pass go out, then measure 30 s of stillness.
  asio::co_spawn(io, pump(client, uptimeSeconds() + 2, nullptr, nullptr, nullptr), asio::detached);
  io.run();
  io.restart();
  const double before = host.cpuSeconds();
  for (auto _ : state) {
    asio::co_spawn(io, pump(client, uptimeSeconds() + 30, nullptr, nullptr, nullptr),
                   asio::detached);
    io.run();
    io.restart();
  }
  const double used = host.cpuSeconds() - before;
  state.counters["host_cpu_s"] = used;
  state.counters["core_percent"] = used / 30 * 100;
  client->close();
}

void e2e_latency(benchmark::State& state) {
  HostProcess host;
  measureLatency(state, host, [](auto client, auto* moves, auto* square) {
    return moveAround(std::move(client), 100, moves, square);
  }, "moves_answered");
}
BENCHMARK(e2e_latency)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Built outside the coroutine: g++ 12 mishandles braced initialisers inside them.
std::vector<std::string> clientCaps() { return {"patch", "png"}; }

// A client through the relay of `cloud`: the host's claim code claimed into the account, the
// host online, a ticket for its relay.
asio::awaitable<std::shared_ptr<ClientConnection>> connectThroughRelay(
    const CloudProcess* cloud, const HostProcess* host) {
  auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor);
  std::smatch match;
  std::string code;
  for (int i = 0; i < 500 && code.empty(); ++i) {
    const std::string out = host->output();
    if (std::regex_search(out, match, std::regex("&c=([A-Z0-9-]+)"))) code = match[1];
    timer.expires_after(std::chrono::milliseconds(20));
    co_await timer.async_wait(asio::use_awaitable);
  }
  CloudAccount account(executor, cloud->url(), cloud->token());
  const std::string hostId = co_await account.claim(code);
  for (int i = 0; i < 500; ++i) {
    bool online = false;
    const auto hosts = co_await account.hosts();
    for (const auto& entry : hosts) online = online || (entry.id == hostId && entry.online);
    if (online) break;
    timer.expires_after(std::chrono::milliseconds(20));
    co_await timer.async_wait(asio::use_awaitable);
  }
  const std::string url = co_await account.relayUrl(hostId);
  co_return co_await ClientConnection::connectUrl(executor, url, host->target(), "bench",
                                                  clientCaps());
}

// Move-to-patch latency directly and through nimbrel-cloud's relay on loopback, in one run.
void relay_e2e_latency(benchmark::State& state) {
  const bool relayed = state.range(0) != 0;
  CloudProcess cloud;
  HostProcess host({}, relayed ? cloud.url() : std::string());
  asio::io_context io;
  std::shared_ptr<ClientConnection> client;
  if (relayed) {
    auto connected = asio::co_spawn(io, connectThroughRelay(&cloud, &host), asio::use_future);
    io.run();
    io.restart();
    client = connected.get();
  } else {
    client = connectTo(io, host);
  }
  measureLatency(state, io, client, [](auto c, auto* moves, auto* square) {
    return moveAround(std::move(c), 100, moves, square);
  }, "moves_answered");
}
BENCHMARK(relay_e2e_latency)
    ->ArgName("relay")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

void e2e_idle_cpu(benchmark::State& state) {
  HostProcess host;
  measureIdleCpu(state, host);
}
BENCHMARK(e2e_idle_cpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Draws a 48-pixel square at a new place of the X screen every `spacing`, from a client of its
// own.
asio::awaitable<void> drawAround(std::string display, std::shared_ptr<ClientConnection> client,
                                 int count, std::chrono::milliseconds spacing,
                                 std::vector<double>* draws, double* square) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t colour = 0xe0e0e0;
  xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND, &colour);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  for (int step = 0; step < count; ++step) {
    const int x = 100 + 70 * (step % 14);
    *square = x + 24;  // the square's middle column; row 448 as for the synthetic screen
    colour = (step / 14) % 2 ? 0xe0e0e0 : 0x2040c0;  // each pass across repaints every place
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t r{static_cast<std::int16_t>(x), 424, 48, 48};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    draws->push_back(uptimeSeconds());
    timer.expires_after(spacing);
    co_await timer.async_wait(asio::use_awaitable);
  }
  xcb_disconnect(c);
  client->close();
}

void e2e_latency_x11(benchmark::State& state) {
  bench::XvfbServer server("1280x800x24");  // shared at its size: layer pixels are screen pixels
  HostProcess host(server.display());
  measureLatency(state, host, [&](auto client, auto* draws, auto* square) {
    return drawAround(server.display(), std::move(client), 100, std::chrono::milliseconds(100),
                      draws, square);
  }, "draws_answered");
}
BENCHMARK(e2e_latency_x11)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The same with a change every 300 ms, more than the idle user's frame interval: every change
// can go out as soon as it is captured.
void e2e_latency_x11_sparse(benchmark::State& state) {
  bench::XvfbServer server("1280x800x24");
  HostProcess host(server.display());
  measureLatency(state, host, [&](auto client, auto* draws, auto* square) {
    return drawAround(server.display(), std::move(client), 40, std::chrono::milliseconds(300),
                      draws, square);
  }, "draws_answered");
}
BENCHMARK(e2e_latency_x11_sparse)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void e2e_idle_cpu_x11(benchmark::State& state) {
  bench::XvfbServer server("1920x1080x24");
  HostProcess host(server.display());
  measureIdleCpu(state, host);
}
BENCHMARK(e2e_idle_cpu_x11)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace nimbrel
