#include "support/xvfb.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <array>
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

Xvfb::Xvfb(std::string screen) : screen_(std::move(screen)) { start(""); }

Xvfb::~Xvfb() = default;

void Xvfb::start(const std::string& displayArgument) {
  std::vector<std::string> args;
  if (displayArgument.empty()) {
    args = {"-displayfd", "1"};
  } else {
    args = {displayArgument};
  }
  for (const char* a : {"-screen", "0"}) args.emplace_back(a);
  args.push_back(screen_);
  for (const char* a : {"-nolisten", "tcp", "-noreset", "+extension", "RANDR"}) args.emplace_back(a);
  server_ = std::make_unique<Process>("/usr/bin/Xvfb", args);
  if (displayArgument.empty()) {
    if (!server_->waitForOutput("\n", std::chrono::seconds(20))) {
      throw std::runtime_error("Xvfb did not start: " + server_->errorOutput());
    }
    display_ = ":" + server_->output().substr(0, server_->output().find('\n'));
  }
  for (int i = 0; i < 200 && !reachable(display_); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (!reachable(display_)) throw std::runtime_error("Xvfb " + display_ + " is not reachable");
}

void Xvfb::kill() {
  if (!server_) return;
  server_->signal(SIGKILL);
  server_->wait(std::chrono::seconds(10));
  server_.reset();
}

void Xvfb::restart() {
  kill();
  // The old server's lock and socket go with it; a fresh server may take the number again.
  std::remove(("/tmp/.X" + display_.substr(1) + "-lock").c_str());
  start(display_);
}

int Xvfb::run(const std::string& command) const {
  const std::string line = "DISPLAY=" + display_ + " " + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Xvfb::output(const std::string& command) const {
  const std::string line = "DISPLAY=" + display_ + " " + command;
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
