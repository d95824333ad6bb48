// nimbrel-cloud: the service hosts enrol with, owners claim them into, and clients reach them
// through (the relay). See README.md, "Running your own cloud".

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "base/descriptor_limit.hpp"
#include "cloud_server/command_line.hpp"
#include "cloud_server/event_log.hpp"
#include "cloud_server/request.hpp"
#include "cloud_server/secrets.hpp"
#include "cloud_server/server.hpp"
#include "cloud_server/sqlite_store.hpp"

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace nimbrel::cloud;

namespace {

constexpr const char* kDatabaseName = "nimbrel-cloud.db";

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The data directory, made (private to its owner) when `create` and missing.
fs::path dataDirectory(const std::string& dir, bool create) {
  const fs::path path(dir);
  std::error_code error;
  if (fs::is_directory(path, error)) return path;
  if (!create) throw StoreError("no nimbrel-cloud data in " + dir + " (the directory does not exist)");
  fs::create_directories(path, error);
  if (error) throw StoreError("cannot create " + dir + ": " + error.message());
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, error);
  return path;
}

std::unique_ptr<SqliteStore> openStore(const std::string& dir, bool create, bool check) {
  const fs::path file = dataDirectory(dir, create) / kDatabaseName;
  std::error_code error;
  if (!create && !fs::exists(file, error)) {
    throw StoreError("no nimbrel-cloud data in " + dir + " (no " + kDatabaseName +
                     "; start the service or add an account first)");
  }
  return SqliteStore::open(file, SqliteStore::Options{true, 5000, check});
}

std::string timeText(double seconds) {
  if (seconds <= 0) return "never";
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &utc);
  return text;
}

// Every connection takes a descriptor: the soft limit goes up to the hard one, and the
// connection cap down to what that allows (with room for the database and the listener).
void fitConnectionsToDescriptors(Limits& limits) {
  if (const std::string problem = nimbrel::raiseDescriptorLimit(); !problem.empty()) {
    logEvent("couldn't raise the open-files limit: " + problem);
  }
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  constexpr rlim_t kReserve = 64;
  if (files.rlim_cur == RLIM_INFINITY) return;
  const rlim_t usable = files.rlim_cur > kReserve ? files.rlim_cur - kReserve : 1;
  if (static_cast<rlim_t>(limits.maxConnections) > usable) {
    limits.maxConnections = static_cast<int>(usable);
    logEvent("at most " + std::to_string(limits.maxConnections) +
             " open connections: the open-files limit is " + std::to_string(files.rlim_cur));
  }
  limits.maxConnectionsPerAddress = std::min(limits.maxConnectionsPerAddress, limits.maxConnections);
}

int serve(const CommandLine& line) {
  const auto where = parseListenAddress(line.listen);
  if (!where) {
    throw std::invalid_argument("--listen takes ADDRESS:PORT (an IPv6 address in brackets), not \"" +
                                line.listen + "\"");
  }
  const bool tls = !line.cert.empty();
  if (!tls && !where->loopback && !line.insecure) {
    throw std::invalid_argument(
        "refusing plain HTTP on " + line.listen +
        ": tokens would cross the network in the clear. Give --cert and --key, or --insecure "
        "when a TLS proxy in front of the service takes care of it");
  }
  const fs::path dir = dataDirectory(line.data, true);
  // One service per data directory: a second one would hand out the same hosts twice.
  const std::string lockPath = (dir / "serve.lock").string();
  const int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    throw StoreError("another nimbrel-cloud is serving " + line.data);
  }

  CloudServer::Options options;
  options.listen = line.listen;
  options.publicUrl = line.publicUrl;
  if (line.maxSessionsPerHost > 0) options.limits.maxSessionsPerHost = line.maxSessionsPerHost;
  if (line.relayTokenLifetime > 0) options.limits.relayTokenLifetime = line.relayTokenLifetime;
  fitConnectionsToDescriptors(options.limits);
  if (tls) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    try {
      context->use_certificate_chain_file(line.cert);
    } catch (const std::exception& e) {
      throw std::invalid_argument("cannot load the certificate " + line.cert + ": " + e.what());
    }
    try {
      context->use_private_key_file(line.key, asio::ssl::context::pem);
    } catch (const std::exception& e) {
      throw std::invalid_argument("cannot load the private key " + line.key + ": " + e.what());
    }
    options.tls = context;
  }

  auto store = openStore(line.data, true, true);
  const int version = store->schemaVersion();
  asio::io_context io(1);
  auto server = CloudServer::create(io.get_executor(), std::move(store), options);
  server->start();
  const std::string host = where->address.find(':') != std::string::npos
                               ? "[" + where->address + "]"
                               : where->address;
  logEvent("nimbrel-cloud listening on " + host + ":" + std::to_string(server->port()) + " (" +
           (tls ? "https" : "http") + "), data in " + line.data + " (schema " +
           std::to_string(version) + ")");

  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](boost::system::error_code error, int number) {
    if (error) return;
    logEvent(std::string("stopping (") + (number == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
    server->stop([&io] { io.stop(); });
  });
  ::signal(SIGPIPE, SIG_IGN);
  io.run();
  server.reset();  // joins the worker and closes the database
  logEvent("stopped");
  ::close(lockFd);
  return 0;
}

int accountAdd(const CommandLine& line) {
  auto store = openStore(line.data, true, false);
  const std::string token = randomToken();
  const Account account = store->addAccount(line.name, line.email, tokenHash(token), now());
  std::printf("Account %s created. Its token, shown only this once:\n%s\n",
              quote(account.name).c_str(), token.c_str());
  return 0;
}

int claim(const CommandLine& line) {
  auto store = openStore(line.data, false, false);
  const auto account = store->accountByName(line.account);
  if (!account) throw StoreError("no account named " + quote(line.account));
  const auto code = normaliseClaimCode(line.code);
  if (!code) throw std::invalid_argument("\"" + line.code + "\" is not a claim code (XXXX-XXXX)");
  const ClaimResult result = store->claim(*code, account->id, newHostId(), now());
  switch (result.state) {
    case ClaimResult::State::unknown:
      throw StoreError("no computer is waiting with the code " + *code);
    case ClaimResult::State::expired:
      throw StoreError("the code " + *code + " has expired; the computer shows a new one");
    case ClaimResult::State::taken:
      throw StoreError("the code " + *code + " has been used already");
    case ClaimResult::State::claimed:
      break;
  }
  for (const auto& old : result.replacedHostIds) {
    std::printf("Removed %s: the same computer enrolled again.\n", old.c_str());
  }
  for (const auto& other : result.keptHostIds) {
    std::printf("Kept %s: it has the same local id, but the new enrolment did not prove to be "
                "that computer. Remove whichever is not yours.\n",
                other.c_str());
  }
  std::printf("Claimed %s %s into account %s.\n", result.host.id.c_str(),
              quote(result.host.name).c_str(), quote(account->name).c_str());
  return 0;
}

int hosts(const CommandLine& line) {
  auto store = openStore(line.data, false, false);
  std::int64_t accountId = 0;
  if (!line.account.empty()) {
    const auto account = store->accountByName(line.account);
    if (!account) throw StoreError("no account named " + quote(line.account));
    accountId = account->id;
  }
  const auto list = store->hosts(accountId);
  if (list.empty()) {
    std::printf("No computers.\n");
    return 0;
  }
  std::printf("%-22s %-24s %-8s %-16s %s\n", "ID", "NAME", "OS", "LAST RELAY TOKEN", "LOCAL ID");
  for (const auto& host : list) {
    std::printf("%-22s %-24s %-8s %-16s %s\n", host.id.c_str(), quote(host.name).c_str(),
                host.os.c_str(), timeText(host.lastSeen).c_str(), host.localId.c_str());
  }
  return 0;
}

int remove(const CommandLine& line) {
  auto store = openStore(line.data, false, false);
  if (!isHostId(line.hostId) || !store->removeHost(line.hostId, 0, now())) {
    throw StoreError("no computer " + line.hostId);
  }
  std::printf("Removed %s; a running service cuts it off within a second.\n", line.hostId.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  try {
    line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nimbrel-cloud: %s\n%s", e.what(), kUsage);
    return 2;
  }
  if (line.command == CommandLine::Command::help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  ::umask(077);  // the database holds token hashes: nobody else reads it
  try {
    switch (line.command) {
      case CommandLine::Command::serve:
        logEventsToStandardOutput();
        return serve(line);
      case CommandLine::Command::accountAdd:
        return accountAdd(line);
      case CommandLine::Command::claim:
        return claim(line);
      case CommandLine::Command::hosts:
        return hosts(line);
      case CommandLine::Command::remove:
        return remove(line);
      case CommandLine::Command::help:
        break;
    }
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "nimbrel-cloud: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nimbrel-cloud: %s\n", e.what());
    return 1;
  }
  return 0;
}
