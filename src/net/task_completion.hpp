#pragma once

#include <boost/asio/co_spawn.hpp>

#include <exception>
#include <string>
#include <utility>

namespace nimbrel {

namespace asio = boost::asio;

// The completion of a spawned task: whatever escapes the task is logged once, as
// "<name> failed: <what>". A task ended by its own cancellation logs nothing.
class LogEscape {
 public:
  explicit LogEscape(std::string name) : name_(std::move(name)) {}

  template <typename... Results>
  void operator()(std::exception_ptr error, Results&&...) const {
    report(error);
  }

  // What report() logs for `error`; empty when nothing is to be logged.
  std::string describe(std::exception_ptr error) const;
  void report(std::exception_ptr error) const;

 private:
  std::string name_;
};

// co_spawn with a completion that logs what escapes the task under `name`.
template <typename Executor, typename Awaitable>
void spawnLogged(Executor executor, Awaitable task, std::string name) {
  asio::co_spawn(std::move(executor), std::move(task), LogEscape(std::move(name)));
}

}  // namespace nimbrel
