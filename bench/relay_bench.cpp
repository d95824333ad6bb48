// The cloud relay against a direct Beast connection, on loopback, with the real nimbrel-cloud
// program as the relay (its own process, so its memory can be read). The benchmark's own ends
// (clients and the hosts' session sockets) run on one io_context on the benchmark thread, for
// the relay and the direct figures alike.
//
//   relay_throughput  64 KiB binary messages client -> host: relay_MBps next to direct_MBps
//                     (goal: relay >= 70 % of direct)
//   relay_latency     a 16-byte message there and back: relay_us next to direct_us
//                     (goal: relay < 1.5x direct)
//   relay_load        200 relayed sessions at once, 4 MB each way in 64 KiB messages: the
//                     service's peak resident memory, the median and slowest session (goal:
//                     nothing lost, peak < 256 MB, slowest < 3x median)

#include <benchmark/benchmark.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <algorithm>
#include <chrono>

#include "cloud_process.hpp"

namespace nimbrel::bench {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using WebSocket = websocket::stream<beast::tcp_stream>;

constexpr std::size_t kMessage = 64 * 1024;

// nimbrel-cloud with `accounts` accounts, spoken to over its HTTP API the way hosts and clients do.
class Cloud : public CloudProcess {
 public:
  explicit Cloud(int accounts) : CloudProcess(accounts, {"--max-sessions-per-host", "1000"}) {}

  json::object call(const std::string& method, const std::string& target, const std::string& body,
                    const std::string& bearer) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), port()});
    http::request<http::string_body> request{http::string_to_verb(method), target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port()));
    if (!bearer.empty()) request.set(http::field::authorization, "Bearer " + bearer);
    request.body() = body;
    request.prepare_payload();
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    auto value = json::parse(response.body());
    return value.is_object() ? value.get_object() : json::object();
  }

  // A host of account `account` enrolled, claimed and holding a relay token.
  struct Host {
    std::string id;
    std::string relayToken;
  };
  Host addHost(int account) {
    auto enrolled = call("POST", "/v1/enroll", R"({"local_id":"bench","name":"bench"})", "");
    call("POST", "/v1/claim", json::serialize(json::object{{"code", enrolled.at("code")}}), token(account));
    auto polled = call("POST", "/v1/enroll/poll",
                       json::serialize(json::object{{"poll_token", enrolled.at("poll_token")}}), "");
    const std::string hostToken(polled.at("host_token").as_string());
    auto relay = call("POST", "/v1/host/relay-token", "{}", hostToken);
    return Host{std::string(polled.at("host_id").as_string()), std::string(relay.at("token").as_string())};
  }

  std::string ticket(int account, const std::string& hostId) {
    auto answer = call("POST", "/v1/hosts/" + hostId + "/ticket", "", token(account));
    return std::string(answer.at("ticket").as_string());
  }
};

// Runs the io_context on this thread until `task` has completed.
template <typename T>
T drive(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr error;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    error = e;
    if (!e) result.emplace(std::move(value));
  });
  while (!result && !error) {
    if (io.stopped()) io.restart();  // an io_context out of work stops; this one goes on
    io.run_one();
  }
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

asio::awaitable<std::unique_ptr<WebSocket>> dial(std::uint16_t port, std::string target, std::string bearer) {
  auto ws = std::make_unique<WebSocket>(co_await asio::this_coro::executor);
  co_await beast::get_lowest_layer(*ws).async_connect(
      tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), asio::use_awaitable);
  beast::get_lowest_layer(*ws).socket().set_option(tcp::no_delay(true));
  ws->read_message_max(64 << 20);
  ws->auto_fragment(false);
  if (!bearer.empty()) {
    ws->set_option(websocket::stream_base::decorator([bearer](websocket::request_type& r) {
      r.set(http::field::authorization, "Bearer " + bearer);
    }));
  }
  co_await ws->async_handshake("127.0.0.1", target, asio::use_awaitable);
  co_return ws;
}

// A relayed pair: the client's socket and the host's session socket.
struct Pair {
  std::unique_ptr<WebSocket> client;
  std::unique_ptr<WebSocket> host;
};

// Opens `count` relayed sessions for one host over its control connection.
asio::awaitable<std::vector<Pair>> openSessions(Cloud& cloud, int account, Cloud::Host host,
                                                WebSocket& control, int count) {
  std::vector<Pair> pairs;
  for (int i = 0; i < count; ++i) {
    Pair pair;
    pair.client = co_await dial(cloud.port(), "/v2/client/" + host.id + "?ticket=" + cloud.ticket(account, host.id), "");
    beast::flat_buffer buffer;
    co_await control.async_read(buffer, asio::use_awaitable);
    const auto incoming = json::parse(beast::buffers_to_string(buffer.data())).as_object();
    pair.host = co_await dial(cloud.port(), "/v2/host/session/" + std::string(incoming.at("sid").as_string()),
                              host.relayToken);
    pairs.push_back(std::move(pair));
  }
  co_return pairs;
}

// A direct pair: a Beast client and the socket a Beast server accepted.
asio::awaitable<Pair> directPair() {
  auto executor = co_await asio::this_coro::executor;
  tcp::acceptor acceptor(executor, {asio::ip::make_address("127.0.0.1"), 0});
  const auto port = acceptor.local_endpoint().port();
  Pair pair;
  // The client dials while this side accepts; the timer is the "dialled" event.
  asio::steady_timer dialled(executor, std::chrono::hours(1));
  auto dialling = [](std::uint16_t p, Pair& into, asio::steady_timer& done) -> asio::awaitable<void> {
    into.client = co_await dial(p, "/", "");
    done.cancel();
  };
  asio::co_spawn(executor, dialling(port, pair, dialled), asio::detached);
  auto socket = co_await acceptor.async_accept(asio::use_awaitable);
  socket.set_option(tcp::no_delay(true));
  pair.host = std::make_unique<WebSocket>(std::move(socket));
  pair.host->read_message_max(64 << 20);
  pair.host->auto_fragment(false);
  co_await pair.host->async_accept(asio::use_awaitable);
  if (!pair.client) co_await dialled.async_wait(asio::as_tuple(asio::use_awaitable));
  co_return pair;
}

// Sends `count` binary messages of kMessage bytes; the receiver counts what arrives.
asio::awaitable<void> sendMessages(WebSocket& from, int count) {
  std::string payload(kMessage, 'x');
  from.binary(true);
  for (int i = 0; i < count; ++i) {
    payload[0] = static_cast<char>(i);
    co_await from.async_write(asio::buffer(payload), asio::use_awaitable);
  }
}

asio::awaitable<std::size_t> receiveBytes(WebSocket& at, std::size_t total) {
  beast::flat_buffer buffer;
  std::size_t received = 0;
  while (received < total) {
    const std::size_t n = co_await at.async_read(buffer, asio::use_awaitable);
    received += n;
    buffer.consume(n);
  }
  co_return received;
}

asio::awaitable<void> receiveInto(WebSocket& at, std::size_t total, std::size_t& counter) {
  counter += co_await receiveBytes(at, total);
}

// Seconds to pass `count` messages from one end of `pair` to the other.
double timeTransfer(asio::io_context& io, Pair& pair, int count) {
  const auto start = Clock::now();
  drive(io, [](Pair& p, int n) -> asio::awaitable<int> {
    using namespace asio::experimental::awaitable_operators;
    co_await (sendMessages(*p.client, n) && receiveBytes(*p.host, n * kMessage));
    co_return 0;
  }(pair, count));
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Mean seconds of a small message there and back (the far end echoes).
double timeRoundTrips(asio::io_context& io, Pair& pair, int count) {
  const auto start = Clock::now();
  drive(io, [](Pair& p, int n) -> asio::awaitable<int> {
    auto executor = co_await asio::this_coro::executor;
    asio::co_spawn(executor, [](WebSocket& echo, int times) -> asio::awaitable<void> {
      beast::flat_buffer buffer;
      for (int i = 0; i < times; ++i) {
        co_await echo.async_read(buffer, asio::use_awaitable);
        echo.binary(true);
        co_await echo.async_write(buffer.data(), asio::use_awaitable);
        buffer.consume(buffer.size());
      }
    }(*p.host, n), asio::detached);
    const std::string ping(16, 'p');
    beast::flat_buffer buffer;
    p.client->binary(true);
    for (int i = 0; i < n; ++i) {
      co_await p.client->async_write(asio::buffer(ping), asio::use_awaitable);
      co_await p.client->async_read(buffer, asio::use_awaitable);
      buffer.consume(buffer.size());
    }
    co_return 0;
  }(pair, count));
  return std::chrono::duration<double>(Clock::now() - start).count() / count;
}

void relay_throughput(benchmark::State& state) {
  Cloud cloud(1);
  const auto host = cloud.addHost(0);
  asio::io_context io;
  auto control = drive(io, dial(cloud.port(), "/v2/host", host.relayToken));
  auto relayed = std::move(drive(io, openSessions(cloud, 0, host, *control, 1))[0]);
  auto direct = drive(io, directPair());
  constexpr int kCount = 1024;  // 64 MiB
  double relaySeconds = 0, directSeconds = 0;
  for (auto _ : state) {
    relaySeconds += timeTransfer(io, relayed, kCount);
    directSeconds += timeTransfer(io, direct, kCount);
  }
  const double megabytes = static_cast<double>(state.iterations()) * kCount * kMessage / 1e6;
  state.counters["relay_MBps"] = megabytes / relaySeconds;
  state.counters["direct_MBps"] = megabytes / directSeconds;
  state.counters["relay_vs_direct"] = directSeconds / relaySeconds;
}
BENCHMARK(relay_throughput)->Unit(benchmark::kMillisecond)->Iterations(3);

void relay_latency(benchmark::State& state) {
  Cloud cloud(1);
  const auto host = cloud.addHost(0);
  asio::io_context io;
  auto control = drive(io, dial(cloud.port(), "/v2/host", host.relayToken));
  auto relayed = std::move(drive(io, openSessions(cloud, 0, host, *control, 1))[0]);
  auto direct = drive(io, directPair());
  constexpr int kCount = 2000;
  double relay = 0, directTime = 0;
  timeRoundTrips(io, relayed, 100);  // warm up
  timeRoundTrips(io, direct, 100);
  for (auto _ : state) {
    relay += timeRoundTrips(io, relayed, kCount);
    directTime += timeRoundTrips(io, direct, kCount);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["relay_us"] = relay / n * 1e6;
  state.counters["direct_us"] = directTime / n * 1e6;
  state.counters["relay_over_direct"] = relay / directTime;
}
BENCHMARK(relay_latency)->Unit(benchmark::kMillisecond)->Iterations(3);

void relay_load(benchmark::State& state) {
  constexpr int kAccounts = 10, kPerAccount = 20;  // 200 sessions; tickets are limited per account
  constexpr int kMessages = 64;                     // 4 MiB each way
  Cloud cloud(kAccounts);
  asio::io_context io;
  std::vector<Pair> pairs;
  std::vector<std::unique_ptr<WebSocket>> controls;
  for (int a = 0; a < kAccounts; ++a) {
    const auto host = cloud.addHost(a);
    controls.push_back(drive(io, dial(cloud.port(), "/v2/host", host.relayToken)));
    for (auto& pair : drive(io, openSessions(cloud, a, host, *controls.back(), kPerAccount))) {
      pairs.push_back(std::move(pair));
    }
  }
  std::vector<double> times;
  std::size_t lost = 0;
  double total = 0;
  for (auto _ : state) {
    times.assign(pairs.size(), 0);
    const auto start = Clock::now();
    int done = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      auto session = [](Pair& p, double& seconds, std::size_t& missing, Clock::time_point t0,
                        int& finished) -> asio::awaitable<void> {
        using namespace asio::experimental::awaitable_operators;
        const std::size_t each = static_cast<std::size_t>(kMessages) * kMessage;
        std::size_t got = 0;
        co_await (receiveInto(*p.host, each, got) && receiveInto(*p.client, each, got) &&
                  sendMessages(*p.client, kMessages) && sendMessages(*p.host, kMessages));
        missing += 2 * each - got;
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        ++finished;
      };
      asio::co_spawn(io, session(pairs[i], times[i], lost, start, done), asio::detached);
    }
    io.restart();
    while (done < static_cast<int>(pairs.size())) io.run_one();
    total += std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  state.counters["sessions"] = static_cast<double>(pairs.size());
  state.counters["bytes_lost"] = static_cast<double>(lost);
  state.counters["peak_MB"] = cloud.peakMegabytes();
  state.counters["median_s"] = median;
  state.counters["slowest_s"] = times.back();
  state.counters["slowest_over_median"] = times.back() / median;
  state.counters["total_MBps"] = static_cast<double>(state.iterations()) * pairs.size() * 2 *
                                 kMessages * kMessage / 1e6 / total;
}
BENCHMARK(relay_load)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
}  // namespace nimbrel::bench
