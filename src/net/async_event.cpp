#include "net/async_event.hpp"

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cmath>

namespace nimbrel {

std::chrono::steady_clock::duration timeoutDuration(double seconds) {
  constexpr double kLongest = 100.0 * 365 * 24 * 3600;  // a century: "never" in practice
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(std::min(seconds, kLongest)));
}

std::shared_ptr<AsyncEvent> AsyncEvent::create(asio::any_io_executor timers) {
  return std::make_shared<AsyncEvent>(Private{}, std::move(timers));
}

AsyncEvent::AsyncEvent(Private, asio::any_io_executor timers) : timers_(std::move(timers)) {}

AsyncEvent::~AsyncEvent() { resumeAll(std::move(waiters_), false); }

bool AsyncEvent::isSet() const {
  std::lock_guard lock(lock_);
  return isSet_;
}

void AsyncEvent::set() {
  std::map<std::uint64_t, Waiter> woken;
  {
    std::lock_guard lock(lock_);
    isSet_ = true;
    woken.swap(waiters_);
  }
  resumeAll(std::move(woken), true);
}

void AsyncEvent::reset() {
  std::lock_guard lock(lock_);
  isSet_ = false;
}

void AsyncEvent::releaseWaiters() {
  std::map<std::uint64_t, Waiter> woken;
  {
    std::lock_guard lock(lock_);
    woken.swap(waiters_);
  }
  resumeAll(std::move(woken), false);
}

asio::awaitable<bool> AsyncEvent::wait(std::optional<double> timeout) {
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(bool)>(
      // `this`, not a strong reference: a parked wait must not keep the event alive.
      [this, timeout](auto handler) {
        asio::any_io_executor executor = asio::get_associated_executor(handler, timers_);
        start(Handler(std::move(handler)), std::move(executor), timeout);
      },
      asio::use_awaitable);
}

void AsyncEvent::start(Handler handler, asio::any_io_executor executor,
                       std::optional<double> timeout) {
  std::unique_lock lock(lock_);
  if (isSet_) {
    lock.unlock();
    resume(Waiter{std::move(handler), std::move(executor), nullptr}, true);
    return;
  }
  const std::uint64_t id = nextID_++;
  auto slot = asio::get_associated_cancellation_slot(handler);
  if (slot.is_connected()) {
    slot.assign([weak = weak_from_this(), id](asio::cancellation_type) {
      if (auto self = weak.lock()) self->expireWaiter(id);
    });
  }
  std::shared_ptr<asio::steady_timer> timer;
  if (timeout) {
    timer = std::make_shared<asio::steady_timer>(timers_, timeoutDuration(*timeout));
    // The timer holds the event weakly: a pending time-out must not keep it alive.
    timer->async_wait([weak = weak_from_this(), id, timer](boost::system::error_code error) {
      if (error) return;
      if (auto self = weak.lock()) self->expireWaiter(id);
    });
  }
  waiters_.emplace(id, Waiter{std::move(handler), std::move(executor), std::move(timer)});
}

void AsyncEvent::expireWaiter(std::uint64_t id) {
  std::optional<Waiter> waiter;
  {
    std::lock_guard lock(lock_);
    auto it = waiters_.find(id);
    if (it == waiters_.end()) return;  // set() or releaseWaiters() got there first
    waiter.emplace(std::move(it->second));
    waiters_.erase(it);
  }
  resume(std::move(*waiter), false);
}

void AsyncEvent::resumeAll(std::map<std::uint64_t, Waiter> waiters, bool value) {
  for (auto& [id, waiter] : waiters) resume(std::move(waiter), value);
}

void AsyncEvent::resume(Waiter waiter, bool value) {
  if (waiter.timer) waiter.timer->cancel();
  asio::post(waiter.executor, [handler = std::move(waiter.handler), value]() mutable {
    asio::get_associated_cancellation_slot(handler).clear();
    std::move(handler)(value);
  });
}

}  // namespace nimbrel
