// A host for the DNS-SD test: two direct servers advertising the same name, driven by
// commands on standard input ("rename NAME", "quit"). Log lines go to standard output.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <iostream>
#include <thread>

#include "base/log.hpp"
#include "net/direct_server.hpp"

using namespace nimbrel;

int main() {
  setLogSink([](LogChannel, std::string_view text) { std::cout << "LOG " << text << std::endl; });
  boost::asio::io_context io;
  auto work = boost::asio::make_work_guard(io);
  std::thread thread([&] { io.run(); });

  const std::string id = "7f3a9c0011223344";
  const std::string name = "Studio: Lab's Box!";
  auto first = DirectServer::create(io.get_executor(), [](auto) {});
  auto second = DirectServer::create(io.get_executor(), [](auto) {});
  first->setStateHandler([](const std::string& s) { std::cout << "STATE first " << s << std::endl; });
  second->setStateHandler([](const std::string& s) { std::cout << "STATE second " << s << std::endl; });
  first->start(0, name, id, true);
  second->start(0, name, id, true);

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "ports") {
      std::cout << "PORTS " << first->localPort() << " " << second->localPort() << std::endl;
    } else if (line.rfind("rename ", 0) == 0) {
      first->start(first->localPort(), line.substr(7), id, true);
    } else if (line == "quit") {
      break;
    }
  }
  first.reset();
  second.reset();
  work.reset();
  io.stop();
  thread.join();
  std::cout << "BYE" << std::endl;
}
