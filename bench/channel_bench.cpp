// Throughput of the encrypted message layer: per iteration the host seals one message and the
// client opens it, as every frame costs on its way to the phone.

#include <benchmark/benchmark.h>

#include "session/crypto.hpp"
#include "session/secure_channel.hpp"

namespace nimbrel {
namespace {

void channel_seal_open(benchmark::State& state) {
  const Bytes key = randomBytes(32);
  const Bytes cn = randomBytes(16);
  const Bytes sn = randomBytes(16);
  SecureChannel host(key, cn, sn, SecureChannel::Role::host);
  SecureChannel client(key, cn, sn, SecureChannel::Role::client);
  const Bytes plaintext = randomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Bytes opened = client.open(host.seal(plaintext));
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(channel_seal_open)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
}  // namespace nimbrel
