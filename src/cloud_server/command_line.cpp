#include "cloud_server/command_line.hpp"

#include <stdexcept>

namespace nimbrel::cloud {

const char* const kUsage =
    "usage: nimbrel-cloud serve --data DIR --listen ADDRESS:PORT [--public-url URL]\n"
    "                           [--cert FILE --key FILE] [--insecure] [--max-sessions-per-host N]\n"
    "                           [--relay-token-lifetime SECONDS]\n"
    "       nimbrel-cloud account add NAME [--email E] --data DIR\n"
    "       nimbrel-cloud claim CODE --account NAME --data DIR\n"
    "       nimbrel-cloud hosts [--account NAME] --data DIR\n"
    "       nimbrel-cloud remove HOST-ID --data DIR\n";

namespace {

// A whole number from `least` to `most`, or the message for `option`.
int wholeNumber(const std::string& option, const std::string& text, int least, int most) {
  std::size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || n < least || n > most) {
    throw std::invalid_argument(option + " takes a number from " + std::to_string(least) +
                                " to " + std::to_string(most));
  }
  return n;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= arguments.size()) throw std::invalid_argument(arg + " needs a value");
      return arguments[++i];
    };
    if (arg == "--data") {
      line.data = value();
    } else if (arg == "--listen") {
      line.listen = value();
    } else if (arg == "--public-url") {
      line.publicUrl = value();
    } else if (arg == "--cert") {
      line.cert = value();
    } else if (arg == "--key") {
      line.key = value();
    } else if (arg == "--insecure") {
      line.insecure = true;
    } else if (arg == "--max-sessions-per-host") {
      line.maxSessionsPerHost = wholeNumber(arg, value(), 1, 10000);
    } else if (arg == "--relay-token-lifetime") {
      line.relayTokenLifetime = wholeNumber(arg, value(), 1, 7 * 24 * 3600);
    } else if (arg == "--email") {
      line.email = value();
    } else if (arg == "--account") {
      line.account = value();
    } else if (arg == "--help" || arg == "-h") {
      line.command = CommandLine::Command::help;
      return line;
    } else if (arg.starts_with("--")) {
      throw std::invalid_argument("unknown option " + arg);
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) throw std::invalid_argument("no command given");
  const auto expect = [&](std::size_t count) {
    if (words.size() != count) {
      throw std::invalid_argument("\"" + words[0] + "\" takes " + std::to_string(count - 1) +
                                  " argument" + (count == 2 ? "" : "s"));
    }
  };
  const std::string& command = words[0];
  if (command == "serve") {
    expect(1);
    line.command = CommandLine::Command::serve;
    if (line.listen.empty()) throw std::invalid_argument("serve needs --listen ADDRESS:PORT");
    if (line.cert.empty() != line.key.empty()) {
      throw std::invalid_argument("--cert and --key go together");
    }
  } else if (command == "account") {
    if (words.size() != 3 || words[1] != "add") {
      throw std::invalid_argument("use: account add NAME [--email E]");
    }
    line.command = CommandLine::Command::accountAdd;
    line.name = words[2];
    if (line.name.empty() || line.name.size() > 100) {
      throw std::invalid_argument("an account name has 1 to 100 characters");
    }
  } else if (command == "claim") {
    expect(2);
    line.command = CommandLine::Command::claim;
    line.code = words[1];
    if (line.account.empty()) throw std::invalid_argument("claim needs --account NAME");
  } else if (command == "hosts") {
    expect(1);
    line.command = CommandLine::Command::hosts;
  } else if (command == "remove") {
    expect(2);
    line.command = CommandLine::Command::remove;
    line.hostId = words[1];
  } else {
    throw std::invalid_argument("unknown command \"" + command + "\"");
  }
  if (line.data.empty()) throw std::invalid_argument("every command needs --data DIR");
  return line;
}

}  // namespace nimbrel::cloud
