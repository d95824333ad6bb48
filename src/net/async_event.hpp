#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace nimbrel {

namespace asio = boost::asio;

// A settable flag that coroutines can wait on, with an optional time-out.
//
// Every wait completes exactly once: with true when the flag is or becomes set, with false
// when its time-out elapses, when `releaseWaiters()` is called or when the waiting operation
// is cancelled. Waiting does not consume the flag. Completions are posted to the waiter's
// own executor after the lock is released, so a resumed waiter may call straight back in.
//
// Thread-safety: every member may be called from any thread.
class AsyncEvent : public std::enable_shared_from_this<AsyncEvent> {
  struct Private {};

 public:
  // `timers` runs the time-out timers; a pending time-out does not keep the event alive.
  static std::shared_ptr<AsyncEvent> create(asio::any_io_executor timers);
  AsyncEvent(Private, asio::any_io_executor timers);
  // Waiters still parked when the event goes are completed with false, never abandoned.
  ~AsyncEvent();

  void set();
  void reset();
  bool isSet() const;

  // Completes every current waiter with false; the flag is left as it is.
  void releaseWaiters();

  // Seconds; a negative time-out acts as zero, none waits for as long as it takes.
  asio::awaitable<bool> wait(std::optional<double> timeout = std::nullopt);

 private:
  using Handler = asio::any_completion_handler<void(bool)>;
  struct Waiter {
    Handler handler;
    asio::any_io_executor executor;  // where the waiting coroutine runs
    std::shared_ptr<asio::steady_timer> timer;
  };

  void start(Handler handler, asio::any_io_executor executor, std::optional<double> timeout);
  void expireWaiter(std::uint64_t id);
  void resumeAll(std::map<std::uint64_t, Waiter> waiters, bool value);
  void resume(Waiter waiter, bool value);

  asio::any_io_executor timers_;
  mutable std::mutex lock_;  // guards the three fields below
  bool isSet_ = false;
  std::map<std::uint64_t, Waiter> waiters_;
  std::uint64_t nextID_ = 0;
};

// The steady-clock duration of a time-out in seconds: negative and NaN act as zero, and very
// large values are capped instead of overflowing.
std::chrono::steady_clock::duration timeoutDuration(double seconds);

}  // namespace nimbrel
