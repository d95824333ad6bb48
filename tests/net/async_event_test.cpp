#include "net/async_event.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "net/async_test_support.hpp"

namespace nimbrel {
namespace {

using test::runTask;
using test::secondsSince;

TEST(AsyncEvent, SetEventAnswersAtOnceAndWaitingDoesNotConsumeIt) {
  asio::io_context io;
  auto event = AsyncEvent::create(io.get_executor());
  event->set();
  EXPECT_TRUE(runTask(io, event->wait()));
  EXPECT_TRUE(runTask(io, event->wait(0.0)));
  event->reset();
  EXPECT_FALSE(runTask(io, event->wait(0.0)));
}

TEST(AsyncEvent, TimeOutsExpireWithFalseAndNegativeActsAsZero) {
  asio::io_context io;
  auto event = AsyncEvent::create(io.get_executor());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(runTask(io, event->wait(-5.0)));
  EXPECT_LT(secondsSince(start), 1.0);
  EXPECT_FALSE(runTask(io, event->wait(0.05)));
  EXPECT_GE(secondsSince(start), 0.05);
}

TEST(AsyncEvent, SetWakesEveryWaiterWithTrueAndCancelsTheirTimers) {
  asio::io_context io;
  auto event = AsyncEvent::create(io.get_executor());
  std::vector<int> results;
  for (int i = 0; i < 3; ++i) {
    asio::co_spawn(io, event->wait(i == 0 ? std::optional<double>() : 30.0),
                   [&](std::exception_ptr, bool value) { results.push_back(value); });
  }
  io.poll();  // every waiter parks
  EXPECT_TRUE(results.empty());
  event->set();
  const auto start = std::chrono::steady_clock::now();
  io.run();  // returns only once no 30 s timer is left pending
  EXPECT_LT(secondsSince(start), 5.0);
  EXPECT_EQ(results, (std::vector<int>{1, 1, 1}));
}

TEST(AsyncEvent, ReleaseWakesWaitersWithFalseAndLeavesTheFlag) {
  asio::io_context io;
  auto event = AsyncEvent::create(io.get_executor());
  std::vector<int> results;
  for (int i = 0; i < 2; ++i) {
    asio::co_spawn(io, event->wait(30.0),
                   [&](std::exception_ptr, bool value) { results.push_back(value); });
  }
  io.poll();
  event->releaseWaiters();
  io.run();
  EXPECT_EQ(results, (std::vector<int>{0, 0}));
  EXPECT_FALSE(event->isSet());

  event->set();
  event->releaseWaiters();
  EXPECT_TRUE(event->isSet());
  EXPECT_TRUE(runTask(io, event->wait(0.0)));
}

TEST(AsyncEvent, CancelledWaitCompletesWithFalse) {
  asio::io_context io;
  auto event = AsyncEvent::create(io.get_executor());
  asio::cancellation_signal cancel;
  std::optional<bool> result;
  asio::co_spawn(io, event->wait(),
                 asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr, bool value) {
                   result = value;
                 }));
  io.poll();
  EXPECT_FALSE(result.has_value());
  cancel.emit(asio::cancellation_type::terminal);
  io.run();
  EXPECT_EQ(result, false);
  event->set();  // the expired waiter is gone: nothing is resumed twice
  io.restart();
  io.run();
}

TEST(AsyncEvent, DestroyedEventCompletesItsWaitersWithFalse) {
  asio::io_context io;
  std::optional<bool> result;
  {
    auto event = AsyncEvent::create(io.get_executor());
    // The task keeps only a raw pointer, as a loop that outlives its streamer might.
    asio::co_spawn(io, [](AsyncEvent* e) { return e->wait(30.0); }(event.get()),
                   [&](std::exception_ptr, bool value) { result = value; });
    io.poll();
  }
  io.run();
  EXPECT_EQ(result, false);
}

// set() racing a time-out of zero from another thread: each waiter completes exactly once,
// whichever path removes it first.
TEST(AsyncEvent, SetRacingTimeOutsResumesEachWaiterExactlyOnce) {
  asio::thread_pool pool(2);
  constexpr int kRounds = 2000;
  std::atomic<int> completions{0};
  std::atomic<int> trues{0};
  auto event = AsyncEvent::create(pool.get_executor());
  std::promise<void> done;
  asio::co_spawn(pool, [&]() -> asio::awaitable<void> {
    for (int i = 0; i < kRounds; ++i) {
      event->reset();
      asio::post(pool, [&] { event->set(); });
      const bool value = co_await event->wait(0.0);
      completions.fetch_add(1);
      if (value) trues.fetch_add(1);
    }
    done.set_value();
  }, asio::detached);
  ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  pool.join();
  EXPECT_EQ(completions.load(), kRounds);
  EXPECT_GT(trues.load(), 0);
}

}  // namespace
}  // namespace nimbrel
