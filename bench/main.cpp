#include <benchmark/benchmark.h>

#include "base/allocator_tuning.hpp"

int main(int argc, char** argv) {
  nimbrel::tuneAllocatorForStreaming();  // as the host does
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
