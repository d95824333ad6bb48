#include "net/task_completion.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "base/log.hpp"

namespace nimbrel {

std::string LogEscape::describe(std::exception_ptr error) const {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    if (e.code() == asio::error::operation_aborted) return {};  // cancelled, as asked
    return name_ + " failed: " + e.what();
  } catch (const std::exception& e) {
    return name_ + " failed: " + e.what();
  } catch (...) {
    return name_ + " failed with an error of unknown type";
  }
}

void LogEscape::report(std::exception_ptr error) const {
  if (const std::string line = describe(error); !line.empty()) logLine(line);
}

}  // namespace nimbrel
