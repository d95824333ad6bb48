// The streamer fed by the synthetic screen, its frames acknowledged at once.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>

#include "capture/synthetic_screen_source.hpp"
#include "stream/streamer.hpp"

namespace nimbrel {
namespace {

// A streamer fed by the synthetic screen (1600 x 1000, the square moving every frame), its
// frames acknowledged at once. Reports frames per second and bytes per frame.
void streamer_synthetic(benchmark::State& state) {
  asio::thread_pool encodePool(1);  // outlives the io context, whose frames hold the streamer
  asio::io_context io;
  auto source = std::make_shared<SyntheticScreenSource>(1600, 1000);
  std::shared_ptr<Streamer> streamer;
  long long frames = 0;
  long long bytes = 0;
  Streamer::Options options;
  options.encodeExecutor = encodePool.get_executor();
  streamer = Streamer::create(
      io.get_executor(), source,
      [source]() -> asio::awaitable<Monitor> { co_return source->monitor(); },
      [&](boost::json::object message, Bytes payload) -> asio::awaitable<void> {
        ++frames;
        bytes += static_cast<long long>(payload.size());
        streamer->ack(message.at("id").as_int64());
        co_return;
      },
      [](boost::json::object) -> asio::awaitable<void> { co_return; }, options);
  asio::co_spawn(streamer->executor(), streamer->run(), [](std::exception_ptr) {});
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    io.run_for(std::chrono::seconds(1));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.counters["fps"] = static_cast<double>(frames) / seconds;
  state.counters["bytes_per_frame"] = frames ? static_cast<double>(bytes) / frames : 0;
  streamer->releaseWaiters();
  io.stop();
  encodePool.join();
}
BENCHMARK(streamer_synthetic)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbrel
