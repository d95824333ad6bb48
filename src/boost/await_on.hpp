#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <type_traits>
#include <utility>

namespace nimbrel {

namespace asio = boost::asio;

// Runs `task` on `strand` and waits for it. The waiting coroutine's cancellation is not passed
// on: the task runs to its end, and the waiter meets the cancellation at its next co_await.
// The tasks run this way are blocking work (an encode, an X round trip) that could not stop
// early anyway, and a connection's waits, which end when the connection is closed.
//
// Why not co_await co_spawn(strand, task, use_awaitable): Boost 1.81 passes a cancellation on
// to the other strand as a bare pointer into state that the waiter frees as soon as it
// resumes. A cancellation that meets the task's end (a session closing while its frame is
// being encoded) then writes into freed memory. Passed on safely, a cancellation that arrives
// before the task has started makes co_spawn throw out of the strand's thread instead.
template <typename T>
asio::awaitable<T> awaitOn(asio::any_io_executor strand, asio::awaitable<T> task) {
  return asio::co_spawn(std::move(strand), std::move(task),
                        asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

namespace detail {

// A plain function, not a lambda: g++ 12 destroys a coroutine lambda's captures too early.
template <typename Work>
asio::awaitable<std::invoke_result_t<Work>> runWork(Work work) {
  co_return work();
}

}  // namespace detail

// Runs blocking `work` (a call that waits on a display or a bus) on `executor`, inline when
// that is empty, and resumes with its result or what it threw.
template <typename Work>
asio::awaitable<std::invoke_result_t<Work>> blockingOn(const asio::any_io_executor& executor,
                                                       Work work) {
  if (!executor) return detail::runWork(std::move(work));
  return awaitOn(executor, detail::runWork(std::move(work)));
}

}  // namespace nimbrel
