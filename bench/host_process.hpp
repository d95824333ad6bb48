#pragma once

// The host binary run by the end-to-end benchmarks, and a client connected to it.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_future.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/client_connection.hpp"

extern char** environ;

namespace nimbrel::bench {

namespace asio = boost::asio;

// The whole of a text file (empty when it cannot be read).
inline std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `args` with standard output to `log` and standard error to `errors` (/dev/null by
// default; the log itself when it is the same path); its process id.
inline pid_t spawnWithLog(std::vector<std::string> args, const std::string& log,
                          const std::string& errors = "/dev/null",
                          char* const* environment = environ) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (errors == log) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY, 0);
  }
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Output of a program run to its end (standard output and error together), and its status.
inline std::pair<int, std::string> runToEnd(std::vector<std::string> args) {
  char dir[] = "/tmp/nimbrel-bench-run-XXXXXX";
  const std::string out = std::string(mkdtemp(dir)) + "/out";
  const pid_t pid = spawnWithLog(std::move(args), out, out);
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  std::string text = readText(out);
  std::filesystem::remove_all(std::filesystem::path(out).parent_path());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::move(text)};
}

// The first group of `pattern` once `log` shows it (empty after 5 s without).
inline std::string waitForLog(const std::string& log, const std::regex& pattern) {
  for (int i = 0; i < 250; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string s = readText(log);
    std::smatch match;
    if (std::regex_search(s, match, pattern)) return match[1];
  }
  return {};
}

// The host binary, started headless: by default a dry run on the synthetic screen that follows
// the pointer; with a display, sharing that X display; with `session` ("NAME=value" entries
// that replace the process's own, "NAME" alone removes one), sharing the desktop of that
// session. With `api`, its cloud link talks to the service there (otherwise the cloud is off).
class HostProcess {
 public:
  explicit HostProcess(const std::string& display = {}, const std::string& api = {},
                       const std::vector<std::string>& session = {}) {
    char home[] = "/tmp/nimbrel-bench-XXXXXX";
    home_ = mkdtemp(home);
    {
      boost::asio::io_context io;
      boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
      port_ = probe.local_endpoint().port();
    }
    const std::string log = home_ + "/host.log";
    std::vector<std::string> args = {NIMBREL_HOST_BINARY, "--headless", "--no-bonjour",
                                     "--home", home_ + "/data", "--port", std::to_string(port_)};
    if (api.empty()) {
      args.emplace_back("--no-cloud");
    } else {
      args.emplace_back("--api");
      args.push_back(api);
    }
    if (display.empty() && session.empty()) {
      for (const char* a : {"--dry-run", "--synthetic", "cursor"}) args.emplace_back(a);
    }
    std::vector<std::string> env;
    auto replaced = [&](std::string_view entry) {
      const std::string_view name = entry.substr(0, entry.find('='));
      if (name == "DISPLAY") return true;
      for (const auto& own : session) {
        if (std::string_view(own).substr(0, own.find('=')) == name) return true;
      }
      return false;
    };
    for (char** e = environ; *e != nullptr; ++e) {
      if (!replaced(*e)) env.emplace_back(*e);
    }
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    for (const auto& own : session) {
      if (own.find('=') != std::string::npos) env.push_back(own);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = spawnWithLog(std::move(args), log, "/dev/null", envp.data());
    key_ = waitForLog(log, std::regex("&k=([A-Za-z0-9_-]{43})&"));
  }
  ~HostProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(home_);
  }
  // What the host printed so far.
  std::string output() const { return readText(home_ + "/host.log"); }
  pid_t pid() const { return pid_; }
  std::uint16_t port() const { return port_; }
  PairingTarget target() const {
    PairingTarget t;
    t.addresses = {"127.0.0.1"};
    t.port = port_;
    t.key = parsePairingKey(key_).value_or(Bytes{});
    return t;
  }
  // User plus system CPU seconds of the host so far.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = std::stoll(field);
      if (i == 15) {
        stime = std::stoll(field);
        break;
      }
    }
    return double(utime + stime) / sysconf(_SC_CLK_TCK);
  }

 private:
  std::string home_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string key_;
};

// A client connected to the host, on `io` (left ready to run again).
inline std::shared_ptr<ClientConnection> connectTo(
    asio::io_context& io, const HostProcess& host,
    std::vector<std::string> caps = {"patch", "png"}) {
  auto connection = asio::co_spawn(
      io, ClientConnection::connect(io.get_executor(), host.target(), "bench", std::move(caps)),
      asio::use_future);
  io.run();
  io.restart();
  return connection.get();
}

}  // namespace nimbrel::bench
