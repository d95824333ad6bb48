#include "boost/await_on.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace nimbrel {
namespace {

using Strand = asio::strand<asio::thread_pool::executor_type>;

asio::awaitable<int> onStrand(Strand strand) { co_return strand.running_in_this_thread() ? 7 : -1; }

asio::awaitable<int> fails() {
  throw std::runtime_error("the encoder ran out of memory");
  co_return 0;
}

asio::awaitable<int> quick() { co_return 1; }

// Waits until the test opens the gate: sets `opened`, then cancels the timer.
asio::awaitable<int> waitsForGate(std::shared_ptr<asio::steady_timer> gate,
                                  std::shared_ptr<std::atomic<bool>> opened) {
  try {
    co_await gate->async_wait(asio::use_awaitable);
  } catch (const boost::system::system_error&) {
  }
  co_return *opened ? 5 : -1;
}

template <typename T>
asio::awaitable<T> waiter(asio::any_io_executor strand, asio::awaitable<T> task) {
  co_return co_await awaitOn(strand, std::move(task));
}

// A task through the gate, then a quick one: what each gave, or where it stopped.
asio::awaitable<std::string> twoTasks(asio::any_io_executor strand,
                                      std::shared_ptr<asio::steady_timer> gate,
                                      std::shared_ptr<std::atomic<bool>> opened) {
  std::string text = "task " + std::to_string(co_await awaitOn(strand, waitsForGate(gate, opened)));
  try {
    co_await awaitOn(strand, quick());
    text += ", then the next ran";
  } catch (const boost::system::system_error& e) {
    text += e.code() == asio::error::operation_aborted ? ", then aborted" : e.what();
  }
  co_return text;
}

std::string failureOf(std::exception_ptr error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

class AwaitOnTest : public ::testing::Test {
 protected:
  asio::io_context io;
  // Without it the context stops whenever its work count touches zero, and a task's hold on it
  // is let go on the pool's thread a moment after its result is handed over: it could stop the
  // context between one waiter and the next.
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(io);
  asio::thread_pool pool{1};
  Strand strandOfPool = asio::make_strand(pool);
  asio::any_io_executor strand = strandOfPool;

  ~AwaitOnTest() override { pool.join(); }
};

TEST_F(AwaitOnTest, RunsTheTaskOnTheStrandAndPassesOnItsValueOrFailure) {
  std::optional<std::string> value, failure;
  asio::co_spawn(io, waiter(strand, onStrand(strandOfPool)), [&](std::exception_ptr e, int v) {
    value = e ? failureOf(e) : "value " + std::to_string(v);
  });
  asio::co_spawn(io, waiter(strand, fails()),
                 [&](std::exception_ptr e, int) { failure = failureOf(e); });
  while (!value || !failure) io.run_one();
  EXPECT_EQ(value, "value 7");
  EXPECT_EQ(failure, "the encoder ran out of memory");
}

TEST_F(AwaitOnTest, AWaiterCancelledWhileItsTaskRunsLetsTheTaskEndAndThenStops) {
  auto gate = std::make_shared<asio::steady_timer>(strand, std::chrono::hours(1));
  auto opened = std::make_shared<std::atomic<bool>>(false);
  asio::cancellation_signal stop;
  std::optional<std::string> outcome;
  asio::co_spawn(io, twoTasks(strand, gate, opened),
                 asio::bind_cancellation_slot(stop.slot(), [&](std::exception_ptr e, std::string text) {
                   outcome = e ? failureOf(e) : text;
                 }));
  io.poll();  // the waiter waits for the gate
  asio::post(io, [&] { stop.emit(asio::cancellation_type::terminal); });
  io.poll();
  *opened = true;
  asio::post(strand, [gate] { gate->cancel(); });
  while (!outcome) io.run_one();
  EXPECT_EQ(outcome, "task 5, then aborted");
}

// The waiter is cancelled (on its own executor, as a session stops its tasks) just as its task
// ends, and is gone right after: nothing of the cancellation may reach the strand late and find
// freed memory there (AddressSanitizer watches).
TEST_F(AwaitOnTest, ACancellationThatMeetsTheTaskEndingTouchesNothingFreed) {
  int values = 0;
  for (int i = 0; i < 10000; ++i) {
    asio::cancellation_signal stop;
    bool finished = false;
    asio::co_spawn(io, waiter(strand, quick()),
                   asio::bind_cancellation_slot(stop.slot(), [&](std::exception_ptr e, int v) {
                     finished = true;
                     if (!e && v == 1) ++values;
                   }));
    io.poll();  // the waiter waits for its task, or has its value already
    asio::post(io, [&] {
      if (!finished) stop.emit(asio::cancellation_type::terminal);
    });
    while (!finished) io.run_one();
    io.poll();  // a cancellation posted after that
  }
  EXPECT_EQ(values, 10000);
}

}  // namespace
}  // namespace nimbrel
