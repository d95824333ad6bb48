#include "net/resume_once.hpp"

#include <boost/asio/post.hpp>

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

}  // namespace nimbrel
