#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace nimbrel::test {

Process::Process(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::optional<std::string>>& environment) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : environment) {
    if (value) env[key] = *value; else env.erase(key);
  }
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : env) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
}

Process::~Process() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  ::close(outFd_);
  ::close(errFd_);
}

void Process::drain(int fd, std::string& into, int waitMs) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return;
  char buffer[4096];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    drain(outFd_, output_, 50);
    if (!running()) {
      drain(outFd_, output_, 0);
      return output_.find(text) != std::string::npos;
    }
  }
  return true;
}

void Process::signal(int number) { ::kill(pid_, number); }

bool Process::running() {
  if (status_) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = status;
  return false;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    drain(outFd_, output_, 20);
  }
  for (int i = 0; i < 100; ++i) {
    const auto before = output_.size();
    drain(outFd_, output_, 0);
    if (output_.size() == before) break;
  }
  if (!WIFEXITED(*status_)) return std::nullopt;
  return WEXITSTATUS(*status_);
}

std::string Process::errorOutput() {
  for (int i = 0; i < 100; ++i) {
    const auto before = error_.size();
    drain(errFd_, error_, 0);
    if (error_.size() == before) break;
  }
  return error_;
}

}  // namespace nimbrel::test
