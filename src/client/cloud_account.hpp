#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <string>
#include <vector>

namespace nimbrel {

// The owner's side of a Nimbrel cloud service, as the command-line client uses it: claim a
// host's code into the account, list the account's hosts, and get a one-time relay ticket.
// Failures throw ClientError with the service's own message.
class CloudAccount {
 public:
  struct Host {
    std::string id;       // the cloud id
    std::string localId;  // the host's own id (the pairing link's "id")
    std::string name;
    bool online = false;
  };

  // `baseUrl`: http:// or https:// (certificates checked against the system's CA store).
  CloudAccount(boost::asio::any_io_executor executor, std::string baseUrl, std::string token);

  // The claimed host's cloud id. Throws ClientError; `alreadyClaimed` tells a code that was
  // used before (perhaps by this account) from other failures.
  boost::asio::awaitable<std::string> claim(std::string code, bool* alreadyClaimed = nullptr);
  boost::asio::awaitable<std::vector<Host>> hosts();
  // The relay URL (ws or wss) with a fresh ticket for a client of `hostId`.
  boost::asio::awaitable<std::string> relayUrl(std::string hostId);

 private:
  struct Answer;
  boost::asio::awaitable<Answer> call(std::string method, std::string path, std::string body);

  boost::asio::any_io_executor executor_;
  std::string baseUrl_;
  std::string token_;
};

// Which of the account's hosts is the computer of the link with id `localId`. An account may
// list two with one local id (a stranger's enrolment under a copied id is listed beside the
// real computer, never in its place): the one just claimed (`claimedId`) when known, else the
// first listed (the oldest, which a stranger's later enrolment cannot be). Nothing when none
// has it.
const CloudAccount::Host* chooseHost(const std::vector<CloudAccount::Host>& hosts,
                                     const std::string& localId, const std::string& claimedId);

}  // namespace nimbrel
