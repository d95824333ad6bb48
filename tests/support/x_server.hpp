#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel::test {

// A private X server for one test, on a free display, no TCP, no reset:
//  - xvfb: Xvfb, the everyday choice;
//  - xorgDummy: Xorg with the dummy video driver, for RandR monitors (Xvfb ignores
//    `xrandr --setmonitor`). Its screen starts at the given size.
class XServer {
 public:
  enum class Kind { xvfb, xorgDummy };

  explicit XServer(std::string screen = "1280x800x24", Kind kind = Kind::xvfb);
  ~XServer();

  const std::string& display() const { return display_; }

  // Kills the server at once (SIGKILL) and waits for it to go.
  void kill();
  // Starts it again on the same display.
  void restart();
  // Sends the server a signal (SIGSTOP freezes it: it stops answering without going away).
  void signal(int number);

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
  Kind kind_;
  TempDir files_;
  std::string display_;
  std::unique_ptr<Process> server_;
};

}  // namespace nimbrel::test
