#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
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

  // Suspends the calling coroutine and hands `start` (a callable taking
  // std::shared_ptr<ResumeOnce>) the holder that resumes it; returns, or throws, with the
  // outcome of the first `finish`.
  //
  // Not a coroutine itself: g++ 12 destroys a closure passed by value to a coroutine inside a
  // co_await expression twice, and callers hand this one temporaries.
  template <typename Start>
  static asio::awaitable<void> suspend(Start start) {
    return asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(
        [start = std::move(start)](auto handler) mutable {
          asio::any_io_executor executor = asio::get_associated_executor(handler);
          start(std::make_shared<ResumeOnce>(Handler(std::move(handler)), std::move(executor)));
        },
        asio::use_awaitable);
  }

 private:
  std::mutex lock_;  // guards cont_
  std::optional<Handler> cont_;
  asio::any_io_executor executor_;  // where the suspended coroutine runs
};

}  // namespace nimbrel
