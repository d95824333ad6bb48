#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>

namespace nimbrel::test {

namespace asio = boost::asio;

// Runs `task` on `io` until it completes and returns its result; rethrows what it threw.
template <typename T>
T runTask(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr error;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    error = e;
    if (!e) result.emplace(std::move(value));
  });
  io.restart();
  io.run();
  if (error) std::rethrow_exception(error);
  if (!result) throw std::runtime_error("task did not complete");
  return std::move(*result);
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace nimbrel::test
