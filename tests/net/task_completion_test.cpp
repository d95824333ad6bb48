#include "net/task_completion.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/log_capture.hpp"

namespace nimbrel {
namespace {

asio::awaitable<void> fails() {
  throw std::runtime_error("the disk is full");
  co_return;
}

asio::awaitable<int> failsWithValue() {
  throw 42;
  co_return 0;
}

asio::awaitable<int> succeeds() { co_return 7; }

// Waits on a timer that is cancelled: Asio's operation_aborted escapes.
asio::awaitable<void> cancelledWait(std::shared_ptr<asio::steady_timer> timer) {
  co_await timer->async_wait(asio::use_awaitable);
}

TEST(TaskCompletion, LogsWhatEscapesEachTaskOnceWithItsName) {
  test::LogCapture log;
  asio::io_context io;
  auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::hours(1));
  spawnLogged(io.get_executor(), fails(), "the screen stream of Pixel");
  spawnLogged(io.get_executor(), failsWithValue(), "the clipboard read");
  spawnLogged(io.get_executor(), succeeds(), "a task that works");
  spawnLogged(io.get_executor(), cancelledWait(timer), "a cancelled wait");
  io.poll();
  timer->cancel();
  io.run();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "the screen stream of Pixel failed: the disk is full",
                             "the clipboard read failed with an error of unknown type"}));
}

}  // namespace
}  // namespace nimbrel
