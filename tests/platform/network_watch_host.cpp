// Runs the network watch in the network namespace it was started in and prints one line per
// event: "ready <pid> <signature>" once it watches, "kick <signature>" for each kick. Runs
// until it is killed.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/network_watch.hpp"

int main() {
  std::string error;
  auto watch = nimbrel::NetworkWatch::start(
      [] {
        std::printf("kick [%s]\n", nimbrel::networkPathSignature().c_str());
        std::fflush(stdout);
      },
      error);
  if (!watch) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("ready %d [%s]\n", static_cast<int>(getpid()),
              nimbrel::networkPathSignature().c_str());
  std::fflush(stdout);
  for (;;) pause();
}
