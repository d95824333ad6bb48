// nimbrel-client: connects to a Nimbrel host, shows what it streams and drives it.
//
//   nimbrel-client LINK | --host ADDRESS [--port N] --key KEY
//                  [--name NAME] [--caps patch,png,heic] [--command JSON]... [--stdin]
//                  [--snapshot FILE.png] [--seconds N] [--stats] [--latency] [--move-latency]
//                  [--cloud URL --account-token T [--via-relay]]

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "base/clock.hpp"
#include "client/canvas.hpp"
#include "client/client_connection.hpp"
#include "client/cloud_account.hpp"
#include "client/move_latency.hpp"
#include "net/task_completion.hpp"
#include "session/protocol.hpp"

namespace json = boost::json;
namespace asio = boost::asio;
using namespace nimbrel;

namespace {

// A "move" command (built outside the coroutine that sends it: g++ 12 and braced JSON).
json::object moveCommand(double x, double y) { return {{"t", "move"}, {"x", x}, {"y", y}}; }

const char* kUsage =
    "usage: nimbrel-client LINK | --host ADDRESS [--port N] --key KEY\n"
    "         [--name NAME] [--caps patch,png,heic] [--command JSON]... [--stdin]\n"
    "         [--snapshot FILE.png] [--seconds N] [--stats] [--latency] [--move-latency]\n"
    "         [--cloud URL --account-token T [--via-relay]]\n";

struct Settings {
  PairingTarget target;
  std::string name = "nimbrel-client";
  std::vector<std::string> caps = {"patch", "png"};
  std::vector<json::object> commands;
  bool readStdin = false;
  std::string snapshot;
  double seconds = 2;
  std::string cloud;         // the cloud service's API base URL
  std::string accountToken;  // the owner's account token there
  bool viaRelay = false;     // through the relay only, never directly
  bool stats = false;
  bool latency = false;
  bool moveLatency = false;  // move the pointer 60 times a second, time each move to its patch
};

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto comma = text.find(',', start);
    const std::string item = text.substr(start, comma - start);
    if (!item.empty()) out.push_back(item);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::optional<Settings> parseArguments(int argc, char** argv) {
  Settings settings;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--host") {
      settings.target.addresses = {value()};
    } else if (arg == "--port") {
      settings.target.port = std::stoi(value());
    } else if (arg == "--key") {
      auto key = parsePairingKey(value());
      if (!key) throw std::runtime_error("--key: not a pairing key (43 Base64 characters or 64 hex digits)");
      settings.target.key = *key;
    } else if (arg == "--name") {
      settings.name = value();
    } else if (arg == "--caps") {
      settings.caps = splitList(value());
    } else if (arg == "--command") {
      json::value command = json::parse(value());
      if (!command.is_object()) throw std::runtime_error("--command: not a JSON object");
      settings.commands.push_back(command.get_object());
    } else if (arg == "--stdin") {
      settings.readStdin = true;
    } else if (arg == "--snapshot") {
      settings.snapshot = value();
    } else if (arg == "--cloud") {
      settings.cloud = value();
    } else if (arg == "--account-token") {
      settings.accountToken = value();
    } else if (arg == "--via-relay") {
      settings.viaRelay = true;
    } else if (arg == "--seconds") {
      settings.seconds = std::stod(value());
    } else if (arg == "--stats") {
      settings.stats = true;
    } else if (arg == "--latency") {
      settings.latency = true;
    } else if (arg == "--move-latency") {
      settings.moveLatency = true;
    } else if (arg.rfind("nimbrel://", 0) == 0) {
      auto target = parsePairingLink(arg, &error);
      if (!target) throw std::runtime_error(error);
      settings.target = *target;
    } else {
      throw std::runtime_error("unknown argument " + arg);
    }
  }
  if (settings.target.key.size() != 32) throw std::runtime_error("no pairing key: give a link or --key");
  if (settings.cloud.empty() != settings.accountToken.empty()) {
    throw std::runtime_error("--cloud and --account-token go together");
  }
  if (settings.viaRelay && settings.cloud.empty()) {
    throw std::runtime_error("--via-relay needs --cloud and --account-token");
  }
  if (!settings.cloud.empty() && settings.target.hostID.empty()) {
    throw std::runtime_error("--cloud needs a pairing link (its \"id\" names the computer)");
  }
  // Through the cloud, a link without addresses is reached by the relay alone.
  if (settings.target.addresses.empty() && settings.cloud.empty()) {
    settings.target.addresses = {"127.0.0.1"};
  }
  return settings;
}

// A ping every second until the deadline, whether or not the host sends anything meanwhile.
asio::awaitable<void> pingEverySecond(std::shared_ptr<ClientConnection> connection, double deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  while (uptimeSeconds() < deadline) {
    connection->send({{"t", "ping"}, {"ts", uptimeSeconds()}});
    timer.expires_after(std::chrono::seconds(1));
    co_await timer.async_wait(asio::use_awaitable);
  }
}

// Moves the pointer 60 times a second over the screen until the deadline, each move noted in
// `latency` (the same path a browser benchmark moves along). The gaps between moves vary at
// random around 1/60 s: a steady 1/60 s locks to the host's 30 fps pace, so every measure would
// start at the same point of the host's frame interval and the figure would depend on that
// phase instead of covering all of them (a browser's interval timer drifts across them).
asio::awaitable<void> moveEverySixtieth(std::shared_ptr<ClientConnection> connection,
                                        std::shared_ptr<MoveLatency> latency, double deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> gapMicroseconds(8333, 25000);
  auto next = std::chrono::steady_clock::now();
  for (int step = 1; uptimeSeconds() < deadline; ++step) {
    const double x = 0.1 + 0.8 * std::fmod(step * 0.013, 1.0);
    const double y = 0.2 + 0.6 * std::fmod(step * 0.007, 1.0);
    latency->moved(uptimeSeconds());
    connection->send(moveCommand(x, y));
    next += std::chrono::microseconds(gapMicroseconds(random));
    timer.expires_at(next);
    co_await timer.async_wait(asio::use_awaitable);
  }
}

// Claims the link's code into the account when it has one, finds the host by the link's "id"
// among the account's computers, and connects: directly first unless --via-relay, then through
// the relay.
asio::awaitable<std::shared_ptr<ClientConnection>> connectThroughCloud(asio::any_io_executor executor,
                                                                      const Settings& settings) {
  CloudAccount account(executor, settings.cloud, settings.accountToken);
  bool justClaimed = false;
  std::string claimedId;
  if (!settings.target.claimCode.empty()) {
    bool alreadyClaimed = false;
    try {
      claimedId = co_await account.claim(settings.target.claimCode, &alreadyClaimed);
      std::fprintf(stderr, "nimbrel-client: claimed %s into the account\n", claimedId.c_str());
      justClaimed = true;
    } catch (const ClientError&) {
      if (!alreadyClaimed) throw;  // a code used before may have been ours: look for the host
    }
  }
  // A host claimed a moment ago learns of it at its next poll and then joins the relay: give it
  // up to 30 s to come online.
  std::vector<CloudAccount::Host> hosts;
  const CloudAccount::Host* found = nullptr;
  asio::steady_timer pause(executor);
  for (int attempt = 0;; ++attempt) {
    hosts = co_await account.hosts();
    found = chooseHost(hosts, settings.target.hostID, claimedId);
    if (!justClaimed || (found && found->online) || attempt >= 30) break;
    if (attempt == 0) std::fprintf(stderr, "nimbrel-client: waiting for the computer to come online\n");
    pause.expires_after(std::chrono::seconds(1));
    co_await pause.async_wait(asio::use_awaitable);
  }
  if (!found) {
    throw ClientError("the account has no computer with the id " + settings.target.hostID +
                      (settings.target.claimCode.empty() ? "" : " (was its code claimed?)"));
  }
  if (!settings.viaRelay && !settings.target.addresses.empty()) {
    try {
      co_return co_await ClientConnection::connect(executor, settings.target, settings.name,
                                                   settings.caps);
    } catch (const ClientError& e) {
      std::fprintf(stderr, "nimbrel-client: %s; trying the relay\n", e.what());
    }
  }
  const std::string url = co_await account.relayUrl(found->id);
  co_return co_await ClientConnection::connectUrl(executor, url, settings.target, settings.name,
                                                  settings.caps);
}

asio::awaitable<int> runClient(Settings settings) {
  auto executor = co_await asio::this_coro::executor;
  // Not a conditional expression around the two co_awaits: g++ 12 miscompiles that.
  std::shared_ptr<ClientConnection> connection;
  if (settings.cloud.empty()) {
    connection = co_await ClientConnection::connect(executor, settings.target, settings.name,
                                                    settings.caps);
  } else {
    connection = co_await connectThroughCloud(executor, settings);
  }
  for (const auto& command : settings.commands) connection->send(command);
  if (settings.readStdin) {
    // Commands typed or piped in, one JSON object per line, sent as they come.
    std::thread([connection, executor] {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        boost::system::error_code error;
        json::value command = json::parse(line, error);
        if (error || !command.is_object()) {
          std::fprintf(stderr, "nimbrel-client: ignored, not a JSON object: %s\n", line.c_str());
          continue;
        }
        asio::post(executor, [connection, command = std::move(command.get_object())] {
          connection->send(command);
        });
      }
    }).detach();
  }

  std::map<std::string, Canvas> canvases;
  const double deadline = uptimeSeconds() + settings.seconds;
  if (settings.latency) spawnLogged(executor, pingEverySecond(connection, deadline), "pinging");
  const auto moveLatency = std::make_shared<MoveLatency>();
  if (settings.moveLatency) {
    spawnLogged(executor, moveEverySixtieth(connection, moveLatency, deadline), "moving");
  }
  asio::steady_timer stopper(executor, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                           std::chrono::duration<double>(settings.seconds)));
  stopper.async_wait([connection](boost::system::error_code error) {
    if (!error) connection->close();
  });
  std::string ended;
  while (uptimeSeconds() < deadline) {
    HostMessage message;
    try {
      message = co_await connection->next();
    } catch (const std::exception& e) {
      ended = e.what();
      break;
    }
    const double received = uptimeSeconds();
    const json::object& m = message.json;
    if (!message.frame) {
      const std::string type = m.contains("t") && m.at("t").is_string() ? std::string(m.at("t").as_string()) : "";
      if (type == "stats" && settings.stats) {
        std::printf("stats %s\n", protocol::serializeMessage(m).c_str());
      } else if (type == "pong" && settings.latency && m.at("ts").is_double()) {
        std::printf("latency %.1f ms\n", (uptimeSeconds() - m.at("ts").as_double()) * 1000);
      } else if (type != "stats" && type != "pong" && type != "cursor") {
        std::printf("%s\n", protocol::serializeMessage(m).c_str());
      }
      std::fflush(stdout);
      continue;
    }
    connection->send({{"t", "ack"}, {"id", m.at("id")}});
    const std::string kind(m.at("k").as_string());
    if (kind == "patch") {
      Canvas& canvas = canvases[std::string(m.at("layer").as_string())];
      std::vector<RegionPlacement> regions;
      for (const auto& entry : m.at("r").as_array()) {
        const auto& r = entry.as_array();
        regions.push_back({r.at(0).to_number<std::int64_t>(), r.at(1).to_number<std::int64_t>(),
                           r.at(4).to_number<std::int64_t>()});
      }
      applyPatch(canvas, regions, message.payload);
      moveLatency->patchApplied(received, uptimeSeconds());
    } else {
      canvases[kind].applyBase(message.payload,
                               Rect{m.at("x").to_number<double>(), m.at("y").to_number<double>(),
                                    m.at("w").to_number<double>(), m.at("h").to_number<double>()});
    }
  }
  stopper.cancel();
  connection->close();
  if (settings.moveLatency) std::printf("%s\n", moveLatency->summary().c_str());

  if (!settings.snapshot.empty()) {
    if (canvases["full"].empty()) {
      std::fprintf(stderr, "nimbrel-client: no image arrived to save%s%s\n",
                   ended.empty() ? "" : ": ", ended.c_str());
      co_return 1;
    }
    const auto roi = canvases.find("roi");
    const PixelBuffer picture =
        composite(canvases["full"], roi == canvases.end() ? nullptr : &roi->second);
    if (auto error = writePng(picture, settings.snapshot)) {
      std::fprintf(stderr, "nimbrel-client: %s\n", error->c_str());
      co_return 1;
    }
  }
  co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Settings> settings;
  try {
    settings = parseArguments(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nimbrel-client: %s\n%s", e.what(), kUsage);
    return 2;
  }
  asio::io_context io;
  int status = 1;
  asio::co_spawn(io, runClient(std::move(*settings)), [&](std::exception_ptr error, int result) {
    io.stop();  // done: a name lookup still running must not hold the exit up
    if (!error) {
      status = result;
      return;
    }
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "nimbrel-client: %s\n", e.what());
    }
    status = 1;
  });
  io.run();
  std::fflush(stdout);
  std::_Exit(status);  // a stdin reader may still be blocked in getline
}
