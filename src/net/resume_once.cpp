#include "net/resume_once.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <stdexcept>

namespace nimbrel {

ResumeOnce::ResumeOnce(Handler handler, asio::any_io_executor executor)
    : cont_(std::move(handler)), executor_(std::move(executor)) {}

ResumeOnce::~ResumeOnce() {
  if (cont_) finish(std::make_exception_ptr(std::runtime_error("operation abandoned")));
}

void ResumeOnce::finish(std::exception_ptr error) {
  std::optional<Handler> cont;
  {
    std::lock_guard lock(lock_);
    cont.swap(cont_);
  }
  if (!cont) return;
  asio::post(executor_, [handler = std::move(*cont), error]() mutable {
    std::move(handler)(error);
  });
}

asio::awaitable<void> ResumeOnce::suspend(std::function<void(std::shared_ptr<ResumeOnce>)> start) {
  co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(
      [start = std::move(start)](auto handler) {
        asio::any_io_executor executor = asio::get_associated_executor(handler);
        start(std::make_shared<ResumeOnce>(Handler(std::move(handler)), std::move(executor)));
      },
      asio::use_awaitable);
}

}  // namespace nimbrel
