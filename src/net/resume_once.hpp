#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace nimbrel {

namespace asio = boost::asio;

// Holds one suspended caller that several racing completion paths (an answer, an error, a
// timer) may each try to resume: the first `finish` resumes it, every later one does nothing.
//
// Thread-safety: `finish` may be called from any thread.
class ResumeOnce {
 public:
  using Handler = asio::any_completion_handler<void(std::exception_ptr)>;

  ResumeOnce(Handler handler, asio::any_io_executor executor);
  // A holder dropped before anyone finished it resumes its caller with an error rather than
  // leaving it suspended for ever.
  ~ResumeOnce();
  ResumeOnce(const ResumeOnce&) = delete;
  ResumeOnce& operator=(const ResumeOnce&) = delete;

  // Resumes the caller, by throwing `error` when one is given.
  void finish(std::exception_ptr error = nullptr);

  // Suspends the calling coroutine and hands `start` the holder that resumes it; returns, or
  // throws, with the outcome of the first `finish`.
  static asio::awaitable<void> suspend(std::function<void(std::shared_ptr<ResumeOnce>)> start);

 private:
  std::mutex lock_;  // guards cont_
  std::optional<Handler> cont_;
  asio::any_io_executor executor_;  // where the suspended coroutine runs
};

}  // namespace nimbrel
