#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "cloud_server/store.hpp"

struct sqlite3;

namespace nimbrel::cloud {

// The schema's steps, oldest first; a database at version N has had the first N applied.
const std::vector<std::string_view>& schemaMigrations();

// The store in one SQLite file, in WAL mode so that the command line can read and write while
// the service runs. Opening migrates an older schema in one transaction; a file that is not a
// database, is damaged, is newer than this program, or stays locked throws StoreError with a
// clear text, and nothing is created in its place.
class SqliteStore final : public Store {
 public:
  struct Options {
    bool create = true;         // create the file when missing (else StoreError)
    int busyTimeoutMs = 5000;   // how long to wait for another process's lock
    bool check = false;         // run SQLite's quick integrity check on open
  };

  static std::unique_ptr<SqliteStore> open(const std::filesystem::path& file, Options options);
  ~SqliteStore() override;

  int schemaVersion();

  Account addAccount(const std::string& name, const std::string& email,
                     const std::string& tokenHash, double now) override;
  std::optional<Account> accountByName(const std::string& name) override;
  std::optional<Account> accountByToken(const std::string& tokenHash) override;
  bool addEnrolment(const NewEnrolment& enrolment) override;
  PollResult pollEnrolment(const std::string& pollHash, const std::string& newHostTokenHash,
                           double now) override;
  ClaimResult claim(const std::string& code, std::int64_t accountId, const std::string& newHostId,
                    double now) override;
  std::optional<HostRecord> hostByToken(const std::string& tokenHash) override;
  std::optional<HostRecord> host(const std::string& hostId) override;
  std::vector<HostRecord> hosts(std::int64_t accountId) override;
  void touchHost(const std::string& hostId, const std::string& name, const std::string& version,
                 double now) override;
  bool removeHost(const std::string& hostId, std::int64_t accountId, double now) override;
  std::vector<std::string> goneAmong(const std::vector<std::string>& hostIds) override;
  void addRelayToken(const std::string& tokenHash, const std::string& hostId,
                     double expiresAt) override;
  Credential relayToken(const std::string& tokenHash, double now) override;
  void addTicket(const std::string& ticketHash, const std::string& hostId, std::int64_t accountId,
                 double expiresAt) override;
  Credential takeTicket(const std::string& ticketHash, double now) override;
  void purge(double now, double removedBefore) override;
  std::int64_t externalChanges() override;

 private:
  SqliteStore(sqlite3* db, std::filesystem::path file);
  void migrate();
  class Statement;
  class Transaction;
  Statement prepare(std::string_view sql);
  void exec(std::string_view sql);
  [[noreturn]] void fail(int code, std::string_view what);

  sqlite3* db_;
  std::filesystem::path file_;
};

}  // namespace nimbrel::cloud
