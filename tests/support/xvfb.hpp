#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/process.hpp"

namespace nimbrel::test {

// A private X server for one test: Xvfb on a free display, no TCP, no reset.
class Xvfb {
 public:
  explicit Xvfb(std::string screen = "1280x800x24");
  ~Xvfb();

  const std::string& display() const { return display_; }

  // Kills the server at once (SIGKILL) and waits for it to go.
  void kill();
  // Starts it again on the same display.
  void restart();

  // Fills a rectangle of the root window (0xRRGGBB) from a client of its own and waits until
  // the server has drawn it.
  void fill(int x, int y, int width, int height, std::uint32_t rgb) const;

  // Runs a shell command with DISPLAY set to this server; its exit status.
  int run(const std::string& command) const;
  // The same, returning its standard output.
  std::string output(const std::string& command) const;

 private:
  void start(const std::string& displayArgument);

  std::string screen_;
  std::string display_;
  std::unique_ptr<Process> server_;
};

}  // namespace nimbrel::test
