#pragma once

// What the service keeps: accounts, hosts, pending enrolments, relay tokens and tickets. Every
// token is kept only as its hash (secrets.hpp); times are seconds since the Unix epoch.
//
// The store is blocking (it may sync to disk): the server calls it on its worker thread only,
// never on the network thread. One Store object is used by one thread at a time.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nimbrel::cloud {

// A store that cannot be opened or used; what() says what is wrong and with which file.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Account {
  std::int64_t id = 0;
  std::string name;
  std::string email;
};

struct HostRecord {
  std::string id;  // the cloud id
  std::int64_t accountId = 0;
  std::string localId;  // the host's own id (the pairing link's "id")
  std::string name;
  std::string os;
  std::string version;
  double createdAt = 0;
  double lastSeen = 0;
};

struct NewEnrolment {
  std::string code;
  std::string pollHash;
  std::string localId;
  std::string name;
  std::string os;
  std::string version;
  std::string address;  // the client address it came from, for the log
  double createdAt = 0;
  double expiresAt = 0;
  // The host this enrolment proved to be, by presenting its host token (the same computer
  // enrolling again); empty when it proved nothing.
  std::string provenHostId;
};

struct PollResult {
  enum class State { unknown, pending, expired, claimed } state = State::unknown;
  HostRecord host;  // claimed
  Account account;  // claimed
};

struct ClaimResult {
  enum class State { unknown, expired, taken, claimed } state = State::unknown;
  HostRecord host;  // claimed: the new host
  // The account's earlier host that the enrolment proved to be, now removed.
  std::vector<std::string> replacedHostIds;
  // The account's other hosts with the same local id: the enrolment did not prove to be them,
  // so they stay, listed beside the new one.
  std::vector<std::string> keptHostIds;
};

// A relay token or a ticket looked up.
struct Credential {
  enum class State { unknown, expired, removed, valid } state = State::unknown;
  std::string hostId;
  std::int64_t accountId = 0;
};

class Store {
 public:
  virtual ~Store() = default;

  // Throws StoreError("an account named … exists already") for a name in use.
  virtual Account addAccount(const std::string& name, const std::string& email,
                             const std::string& tokenHash, double now) = 0;
  virtual std::optional<Account> accountByName(const std::string& name) = 0;
  virtual std::optional<Account> accountByToken(const std::string& tokenHash) = 0;

  // False when the code is in use already (the caller draws another).
  virtual bool addEnrolment(const NewEnrolment& enrolment) = 0;

  // A claimed enrolment gets `newHostTokenHash` as its host's token: each poll that reports the
  // claim hands out a fresh token and the one before stops working, so a lost answer costs
  // nothing and a token exists only in the host that received it last.
  virtual PollResult pollEnrolment(const std::string& pollHash, const std::string& newHostTokenHash,
                                   double now) = 0;

  // Claims the enrolment with `code` into the account as host `newHostId`. The account's
  // earlier host that the enrolment proved to be (its provenHostId) is removed: the same
  // computer enrolled again. Hosts that merely share its local id stay.
  virtual ClaimResult claim(const std::string& code, std::int64_t accountId,
                            const std::string& newHostId, double now) = 0;

  // Active hosts only (not removed, token delivered).
  virtual std::optional<HostRecord> hostByToken(const std::string& tokenHash) = 0;
  virtual std::optional<HostRecord> host(const std::string& hostId) = 0;
  // Every active or claimed host of the account, or of all accounts when `accountId` is 0.
  virtual std::vector<HostRecord> hosts(std::int64_t accountId) = 0;
  virtual void touchHost(const std::string& hostId, const std::string& name,
                         const std::string& version, double now) = 0;
  // False when there is no such active host (of that account, when `accountId` is not 0).
  virtual bool removeHost(const std::string& hostId, std::int64_t accountId, double now) = 0;
  // Which of `hostIds` are removed or unknown.
  virtual std::vector<std::string> goneAmong(const std::vector<std::string>& hostIds) = 0;

  virtual void addRelayToken(const std::string& tokenHash, const std::string& hostId,
                             double expiresAt) = 0;
  virtual Credential relayToken(const std::string& tokenHash, double now) = 0;

  virtual void addTicket(const std::string& ticketHash, const std::string& hostId,
                         std::int64_t accountId, double expiresAt) = 0;
  // A ticket works once: a valid one is used up by this call.
  virtual Credential takeTicket(const std::string& ticketHash, double now) = 0;

  // Drops expired enrolments, relay tokens and tickets, and hosts removed before `removedBefore`.
  virtual void purge(double now, double removedBefore) = 0;

  // Changes whenever another process (the command line) has committed a change.
  virtual std::int64_t externalChanges() = 0;
};

}  // namespace nimbrel::cloud
