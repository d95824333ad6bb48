// A stranger's floods against the real host on loopback, while a paired device connects:
// twelve hellos of 32 MiB each, sent whole at once, and a thousand idle sockets from one
// address. Figures: how much the host's peak memory grew (VmHWM), and how long the device's
// connection and handshake took in the middle of it.

#include <benchmark/benchmark.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <thread>

#include "host_process.hpp"

namespace nimbrel::bench {
namespace {

using tcp = asio::ip::tcp;

// The peak resident memory of process `pid` so far, in KiB.
long peakKiB(pid_t pid) {
  const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

tcp::socket dialFrom(asio::io_context& io, const std::string& source, std::uint16_t port) {
  tcp::socket socket(io);
  socket.open(tcp::v4());
  socket.bind({asio::ip::make_address(source), 0});
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  return socket;
}

// Upgrades, then sends one text frame of 32 MiB whole (a hello with a long "caps" array, as far
// as the host can tell from its header); whatever the host does meanwhile.
void sendHugeHello(const std::string& source, std::uint16_t port) {
  asio::io_context io;
  tcp::socket socket = dialFrom(io, source, port);
  boost::system::error_code error;
  asio::write(socket, asio::buffer(std::string(
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")), error);
  std::string answer;
  asio::read_until(socket, asio::dynamic_buffer(answer), "\r\n\r\n", error);
  std::string frame = {'\x81', '\xff', 0, 0, 0, 0, '\x02', 0, 0, 0, 0, 0, 0, 0};
  frame += "{\"t\":\"hello\",\"v\":1,\"caps\":[";
  frame.resize(14 + (32 << 20) - 2, 'x');
  frame += "]}";
  asio::write(socket, asio::buffer(frame), error);  // refused early: a broken pipe, not an error
}

void host_flood(benchmark::State& state) {
  for (auto _ : state) {
    HostProcess host;
    asio::io_context io;
    connectTo(io, host)->close();  // what a first session opens for good is counted in the start
    const long before = peakKiB(host.pid());

    std::vector<std::thread> senders;
    for (int i = 0; i < 12; ++i) {
      senders.emplace_back(sendHugeHello, "127.0.0." + std::to_string(10 + i), host.port());
    }
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 1000; ++i) idle.push_back(dialFrom(io, "127.0.0.3", host.port()));

    const auto start = std::chrono::steady_clock::now();
    auto device = connectTo(io, host);
    const double admitted =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    device->close();
    for (auto& sender : senders) sender.join();
    idle.clear();

    state.counters["peak_growth_MiB"] = double(peakKiB(host.pid()) - before) / 1024;
    state.counters["device_in_ms"] = admitted;
  }
}
BENCHMARK(host_flood)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace nimbrel::bench
