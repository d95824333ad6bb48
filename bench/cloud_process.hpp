#pragma once

// The nimbrel-cloud binary run by the benchmarks that go through the relay.

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_process.hpp"

namespace nimbrel::bench {

// nimbrel-cloud serving a fresh data directory on a free loopback port, with `accounts`
// accounts ("a0", "a1", …) whose tokens it printed. `serveArgs` go to "serve" after the data
// directory and the listening address.
class CloudProcess {
 public:
  explicit CloudProcess(int accounts = 1, std::vector<std::string> serveArgs = {}) {
    char dir[] = "/tmp/nimbrel-bench-cloud-XXXXXX";
    dir_ = mkdtemp(dir);
    for (int i = 0; i < accounts; ++i) {
      const auto [status, out] = runToEnd(
          {NIMBREL_CLOUD_BINARY, "account", "add", "a" + std::to_string(i), "--data", data()});
      std::istringstream lines(out);
      std::string token;
      for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) token = line;  // the token is the last line
      }
      if (status != 0 || token.empty()) throw std::runtime_error("nimbrel-cloud account add: " + out);
      tokens_.push_back(token);
    }
    const std::string log = dir_ + "/serve.log";
    std::vector<std::string> args = {NIMBREL_CLOUD_BINARY, "serve", "--data", data(),
                                     "--listen", "127.0.0.1:0"};
    args.insert(args.end(), serveArgs.begin(), serveArgs.end());
    pid_ = spawnWithLog(std::move(args), log);
    const std::string port = waitForLog(log, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"));
    if (port.empty()) {
      stop();
      throw std::runtime_error("nimbrel-cloud did not start: " + readText(log));
    }
    port_ = static_cast<std::uint16_t>(std::stoi(port));
  }
  ~CloudProcess() { stop(); }
  CloudProcess(const CloudProcess&) = delete;
  CloudProcess& operator=(const CloudProcess&) = delete;

  std::uint16_t port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  const std::string& token(int account = 0) const {
    return tokens_.at(static_cast<std::size_t>(account));
  }
  std::string data() const { return dir_ + "/data"; }

  // The service's peak resident memory so far, in MB.
  double peakMegabytes() const {
    const std::string status = readText("/proc/" + std::to_string(pid_) + "/status");
    std::smatch match;
    if (!std::regex_search(status, match, std::regex("VmHWM:\\s+(\\d+) kB"))) return 0;
    return std::stod(match[1]) / 1024.0;
  }

 private:
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  std::vector<std::string> tokens_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace nimbrel::bench
