#pragma once

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

namespace nimbrel::test {

namespace asio = boost::asio;

// An io_context running on its own thread for the life of the object.
class IoRunner {
 public:
  IoRunner() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
  ~IoRunner() { stop(); }

  // Stops the thread; handlers not run yet are destroyed with the io_context. Objects with
  // I/O of their own (sockets, servers) must go after this and before the IoRunner.
  void stop() {
    work_.reset();
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  asio::any_io_executor executor() { return io_.get_executor(); }

  // Runs `task` on the io thread and waits for its result (rethrowing what it threw).
  template <typename T>
  T run(asio::awaitable<T> task, std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto future = asio::co_spawn(io_, std::move(task), asio::use_future);
    if (future.wait_for(limit) != std::future_status::ready) {
      throw std::runtime_error("task did not complete in time");
    }
    return future.get();
  }

  template <typename T>
  std::future<T> start(asio::awaitable<T> task) {
    return asio::co_spawn(io_, std::move(task), asio::use_future);
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace nimbrel::test
