#include "support/x_server.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <array>
#include <filesystem>
#include <cstdlib>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace nimbrel::test {
namespace {

bool reachable(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  const bool ok = xcb_connection_has_error(c) == 0;
  xcb_disconnect(c);
  return ok;
}

}  // namespace

XServer::XServer(std::string screen, Kind kind) : screen_(std::move(screen)), kind_(kind) {
  start("");
  if (kind_ == Kind::xorgDummy) {
    const std::string size = screen_.substr(0, screen_.rfind('x'));
    if (run("xrandr --fb " + size) != 0) throw std::runtime_error("couldn't size the dummy screen to " + size);
  }
}

XServer::~XServer() = default;

void XServer::start(const std::string& displayArgument) {
  std::vector<std::string> args;
  if (displayArgument.empty()) {
    args = {"-displayfd", "1"};
  } else {
    args = {displayArgument};
  }
  for (const char* a : {"-nolisten", "tcp", "-noreset"}) args.emplace_back(a);
  std::string program = "/usr/bin/Xvfb";
  if (kind_ == Kind::xvfb) {
    for (const char* a : {"+extension", "RANDR", "-screen", "0"}) args.emplace_back(a);
    args.push_back(screen_);
  } else {
    // Room for the screen to grow to its size; the dummy output starts smaller.
    const auto x = screen_.find('x');
    const std::string width = screen_.substr(0, x);
    const std::string height = screen_.substr(x + 1, screen_.find('x', x + 1) - x - 1);
    writeFile(files_ / "xorg.conf",
              "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 256000\n"
              "EndSection\n"
              "Section \"Monitor\"\n  Identifier \"monitor\"\n  HorizSync 5.0 - 1000.0\n"
              "  VertRefresh 5.0 - 200.0\nEndSection\n"
              "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n"
              "  Monitor \"monitor\"\n  DefaultDepth 24\n  SubSection \"Display\"\n"
              "    Depth 24\n    Virtual " + width + " " + height + "\n  EndSubSection\nEndSection\n");
    std::filesystem::create_directories(files_ / "xorg.conf.d");
    for (const std::string& a : {std::string("-config"), (files_ / "xorg.conf").string(),
                                 std::string("-configdir"), (files_ / "xorg.conf.d").string(),
                                 std::string("-logfile"), (files_ / "xorg.log").string()}) {
      args.push_back(a);
    }
    program = "/usr/lib/xorg/Xorg";
  }
  server_ = std::make_unique<Process>(program, args);
  if (displayArgument.empty()) {
    if (!server_->waitForOutput("\n", std::chrono::seconds(20))) {
      throw std::runtime_error("the X server did not start: " + server_->errorOutput());
    }
    display_ = ":" + server_->output().substr(0, server_->output().find('\n'));
  }
  for (int i = 0; i < 200 && !reachable(display_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (!reachable(display_)) throw std::runtime_error("the X server " + display_ + " is not reachable");
}

void XServer::kill() {
  if (!server_) return;
  server_->signal(SIGKILL);
  server_->wait(std::chrono::seconds(10));
  server_.reset();
}

void XServer::signal(int number) {
  if (server_) server_->signal(number);
}

void XServer::restart() {
  kill();
  // The old server's lock and socket go with it; a fresh server may take the number again.
  std::remove(("/tmp/.X" + display_.substr(1) + "-lock").c_str());
  start(display_);
}

void XServer::fill(int x, int y, int width, int height, std::uint32_t rgb) const {
  xcb_connection_t* c = xcb_connect(display_.c_str(), nullptr);
  if (xcb_connection_has_error(c) == 0) {
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t values[] = {rgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(c, gc, screen->root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
    const xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                            static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)};
    xcb_poly_fill_rectangle(c, screen->root, gc, 1, &r);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
  xcb_disconnect(c);
}

int XServer::run(const std::string& command) const {
  const std::string line = "export DISPLAY=" + display_ + "; " + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string XServer::output(const std::string& command) const {
  const std::string line = "export DISPLAY=" + display_ + "; " + command;
  std::string out;
  if (FILE* pipe = popen(line.c_str(), "r")) {
    std::array<char, 4096> buffer;
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    pclose(pipe);
  }
  return out;
}

}  // namespace nimbrel::test
