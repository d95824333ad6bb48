#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nimbrel::cloud {

// nimbrel-cloud's command line, parsed without acting on it.
struct CommandLine {
  enum class Command { serve, accountAdd, claim, hosts, remove, help };
  Command command = Command::help;
  std::string data;       // --data DIR
  std::string listen;     // serve: --listen ADDR:PORT
  std::string publicUrl;  // serve: --public-url URL
  std::string cert;       // serve: --cert FILE
  std::string key;        // serve: --key FILE
  bool insecure = false;  // serve: plain HTTP on a non-loopback address
  int maxSessionsPerHost = 0;  // serve: 0 keeps the default
  int relayTokenLifetime = 0;  // serve: seconds; 0 keeps the default
  std::string name;       // account add NAME
  std::string email;      // account add --email E
  std::string code;       // claim CODE
  std::string account;    // claim/hosts --account NAME
  std::string hostId;     // remove HOST-ID
};

extern const char* const kUsage;

// Throws std::invalid_argument with a message for the user when the arguments make no sense.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace nimbrel::cloud
