#include "net/resume_once.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "net/async_test_support.hpp"

namespace nimbrel {
namespace {

using test::runTask;

asio::awaitable<std::string> outcome(std::function<void(std::shared_ptr<ResumeOnce>)> start) {
  try {
    co_await ResumeOnce::suspend(start);
    co_return "resumed";
  } catch (const std::exception& e) {
    co_return std::string("threw ") + e.what();
  }
}

TEST(ResumeOnce, FirstFinishDecidesAndLaterOnesDoNothing) {
  asio::io_context io;
  // pong, then a send failure, then the timer
  EXPECT_EQ(runTask(io, outcome([](auto once) {
              once->finish();
              once->finish(std::make_exception_ptr(std::runtime_error("send failed")));
              once->finish(std::make_exception_ptr(std::runtime_error("Timed out")));
            })),
            "resumed");
  // the timer first
  EXPECT_EQ(runTask(io, outcome([](auto once) {
              once->finish(std::make_exception_ptr(std::runtime_error("Timed out")));
              once->finish();
            })),
            "threw Timed out");
}

TEST(ResumeOnce, RacingFinishersFromSeveralThreadsResumeOnce) {
  asio::io_context io;
  asio::thread_pool pool(3);
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(runTask(io, outcome([&pool](std::shared_ptr<ResumeOnce> once) {
                for (int i = 0; i < 3; ++i) asio::post(pool, [once] { once->finish(); });
              })),
              "resumed");
  }
  pool.join();
}

TEST(ResumeOnce, HolderDroppedUnfinishedResumesWithAnError) {
  asio::io_context io;
  EXPECT_EQ(runTask(io, outcome([](auto) {})), "threw operation abandoned");
}

}  // namespace
}  // namespace nimbrel
