// The store on a real SQLite file: migration, damaged and locked files, secrets at rest, and the
// enrolment and credential rules.

#include "cloud_server/sqlite_store.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "cloud_server/secrets.hpp"
#include "support/temp_dir.hpp"

namespace nimbrel::cloud {
namespace {

using ::testing::HasSubstr;
using test::TempDir;

// A raw connection for setting up and inspecting files behind the store's back.
struct Raw {
  explicit Raw(const std::filesystem::path& file) { sqlite3_open(file.c_str(), &db); }
  ~Raw() { sqlite3_close(db); }
  int exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
  std::string one(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    std::string out;
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0)) {
      out = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return out;
  }
  sqlite3* db = nullptr;
};

NewEnrolment enrolment(const std::string& code, const std::string& pollToken, double now,
                       const std::string& localId = "local") {
  return NewEnrolment{code, tokenHash(pollToken), localId, "Desk", "linux", "1.0", "127.0.0.1",
                      now, now + 600, {}};
}

TEST(SqliteStore, CreatesTheLatestSchemaInWalMode) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {});
  EXPECT_EQ(store->schemaVersion(), static_cast<int>(schemaMigrations().size()));
  Raw raw(dir / "db");
  EXPECT_EQ(raw.one("PRAGMA journal_mode"), "wal");
}

TEST(SqliteStore, MigratesAnOlderDatabaseAndKeepsItsData) {
  TempDir dir;
  {
    Raw raw(dir / "db");
    ASSERT_EQ(raw.exec(std::string(schemaMigrations()[0])), SQLITE_OK);
    ASSERT_EQ(raw.exec("PRAGMA user_version=1"), SQLITE_OK);
    ASSERT_EQ(raw.exec("INSERT INTO accounts(name, email, token_hash, created_at) "
                       "VALUES ('alice', 'a@example.org', '" + tokenHash("acct") + "', 1)"),
              SQLITE_OK);
    ASSERT_EQ(raw.exec("INSERT INTO hosts(id, account_id, local_id, name, os, version, token_hash, "
                       "created_at) VALUES ('h23456789abcdefghijkm', 1, 'L', 'Desk', 'linux', "
                       "'1.0', '" + tokenHash("host") + "', 1)"),
              SQLITE_OK);
  }
  auto store = SqliteStore::open(dir / "db", {});
  EXPECT_EQ(store->schemaVersion(), static_cast<int>(schemaMigrations().size()));
  ASSERT_TRUE(store->accountByToken(tokenHash("acct")));
  const auto host = store->hostByToken(tokenHash("host"));
  ASSERT_TRUE(host);
  EXPECT_EQ(host->name, "Desk");
  EXPECT_EQ(host->lastSeen, 0);
  // The new tables work.
  store->addRelayToken(tokenHash("relay"), host->id, 100);
  EXPECT_EQ(store->relayToken(tokenHash("relay"), 50).state, Credential::State::valid);
}

// A database of version 2 with a computer in an account and an enrolment under its local id
// waiting for a claim: the enrolment, from before enrolments could prove anything, is claimed
// beside the computer and takes nothing away.
TEST(SqliteStore, MigratesVersionTwoAndItsOpenEnrolmentsProveNothing) {
  TempDir dir;
  {
    Raw raw(dir / "db");
    ASSERT_EQ(raw.exec(std::string(schemaMigrations()[0])), SQLITE_OK);
    ASSERT_EQ(raw.exec(std::string(schemaMigrations()[1])), SQLITE_OK);
    ASSERT_EQ(raw.exec("PRAGMA user_version=2"), SQLITE_OK);
    ASSERT_EQ(raw.exec("INSERT INTO accounts(name, email, token_hash, created_at) "
                       "VALUES ('alice', '', '" + tokenHash("acct") + "', 1)"),
              SQLITE_OK);
    ASSERT_EQ(raw.exec("INSERT INTO hosts(id, account_id, local_id, name, os, version, token_hash, "
                       "created_at) VALUES ('h23456789abcdefghijkm', 1, 'L', 'Desk', 'linux', "
                       "'1.0', '" + tokenHash("host") + "', 1)"),
              SQLITE_OK);
    ASSERT_EQ(raw.exec("INSERT INTO enrolments(code, poll_hash, local_id, name, os, version, "
                       "created_at, expires_at) VALUES ('ABCD-EFGH', '" + tokenHash("poll") +
                       "', 'L', 'Desk', 'linux', '1.0', 1, 600)"),
              SQLITE_OK);
  }
  auto store = SqliteStore::open(dir / "db", {});
  EXPECT_EQ(store->schemaVersion(), 3);
  const auto account = store->accountByName("alice");
  ASSERT_TRUE(account);
  const auto claim = store->claim("ABCD-EFGH", account->id, newHostId(), 2);
  ASSERT_EQ(claim.state, ClaimResult::State::claimed);
  EXPECT_TRUE(claim.replacedHostIds.empty());
  EXPECT_EQ(claim.keptHostIds, (std::vector<std::string>{"h23456789abcdefghijkm"}));
  EXPECT_TRUE(store->hostByToken(tokenHash("host")));
  EXPECT_EQ(store->hosts(account->id).size(), 2u);
}

// A claim removes the account's earlier host with the same local id only when the enrolment
// proved to be that host; other hosts with that id, and hosts of other accounts, stay.
TEST(SqliteStore, AClaimReplacesOnlyTheHostItsEnrolmentProved) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {});
  const auto alice = store->addAccount("alice", "", tokenHash("a"), 1);
  const auto bob = store->addAccount("bob", "", tokenHash("b"), 1);
  // Alice has two computers with local id L (one enrolled beside the other), Bob one.
  std::vector<std::string> ids;
  int n = 0;
  for (const auto& account : {alice, alice, bob}) {
    const std::string code = "AAAA-AAA" + std::string(1, "CDE"[n]);
    const std::string poll = "p" + std::to_string(n);
    ASSERT_TRUE(store->addEnrolment(enrolment(code, poll, 1, "L")));
    ids.push_back(store->claim(code, account.id, newHostId(), 2).host.id);
    store->pollEnrolment(tokenHash(poll), tokenHash("t" + std::to_string(n)), 3);
    ++n;
  }
  NewEnrolment again = enrolment("BBBB-BBBB", "p9", 10, "L");
  again.provenHostId = ids[1];
  ASSERT_TRUE(store->addEnrolment(again));
  const auto claim = store->claim("BBBB-BBBB", alice.id, newHostId(), 11);
  ASSERT_EQ(claim.state, ClaimResult::State::claimed);
  EXPECT_EQ(claim.replacedHostIds, (std::vector<std::string>{ids[1]}));
  EXPECT_EQ(claim.keptHostIds, (std::vector<std::string>{ids[0]}));
  EXPECT_TRUE(store->hostByToken(tokenHash("t0")));
  EXPECT_FALSE(store->hostByToken(tokenHash("t1")));
  EXPECT_TRUE(store->hostByToken(tokenHash("t2")));  // Bob's
  // Proving Bob's computer does not replace anything of Alice's.
  NewEnrolment bobs = enrolment("CCCC-CCCC", "p10", 10, "L");
  bobs.provenHostId = ids[2];
  ASSERT_TRUE(store->addEnrolment(bobs));
  const auto other = store->claim("CCCC-CCCC", alice.id, newHostId(), 12);
  EXPECT_TRUE(other.replacedHostIds.empty());
  EXPECT_EQ(other.keptHostIds.size(), 2u);
  EXPECT_TRUE(store->hostByToken(tokenHash("t2")));
}

TEST(SqliteStore, RefusesFilesItCannotUseWithAClearReason) {
  TempDir dir;
  struct Case {
    const char* what;
    std::function<void(const std::filesystem::path&)> prepare;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"not a database",
       [](const std::filesystem::path& file) {
         test::writeFile(file, std::string(8192, 'z'));
       },
       "is damaged"},
      {"a newer schema",
       [](const std::filesystem::path& file) {
         Raw raw(file);
         raw.exec("PRAGMA user_version=99");
       },
       "schema version 99, newer than this program knows"},
      {"missing and not to be created", [](const std::filesystem::path&) {}, "no database at"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto file = dir / ("db" + std::to_string(n++));
    c.prepare(file);
    const std::string before = std::filesystem::exists(file) ? test::readFile(file) : "";
    try {
      SqliteStore::open(file, {std::string(c.what) != "missing and not to be created", 100, true});
      ADD_FAILURE() << "opened";
    } catch (const StoreError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
      EXPECT_THAT(e.what(), HasSubstr(file.string()));
    }
    // Nothing was put in its place.
    if (!before.empty()) {
      EXPECT_TRUE(test::readFile(file) == before);
    }
  }
}

TEST(SqliteStore, ALockHeldTooLongIsReportedNotWaitedOutForever) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {true, 100, false});
  Raw other(dir / "db");
  ASSERT_EQ(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
  try {
    store->addAccount("alice", "", tokenHash("t"), 1);
    ADD_FAILURE() << "wrote through an exclusive lock";
  } catch (const StoreError& e) {
    EXPECT_THAT(e.what(), HasSubstr("is locked by another process"));
  }
  EXPECT_THROW(SqliteStore::open(dir / "db", {true, 100, false}), StoreError);
  other.exec("COMMIT");
  EXPECT_NO_THROW(store->addAccount("alice", "", tokenHash("t"), 1));
}

TEST(SqliteStore, KeepsOnlyHashesOfSecrets) {
  TempDir dir;
  const std::string accountToken = randomToken(), pollToken = randomToken(),
                    hostToken = randomToken(), relayToken = randomToken(), ticket = randomToken();
  {
    auto store = SqliteStore::open(dir / "db", {});
    const auto account = store->addAccount("alice", "", tokenHash(accountToken), 1);
    ASSERT_TRUE(store->addEnrolment(enrolment("ABCD-EFGH", pollToken, 1)));
    const auto claim = store->claim("ABCD-EFGH", account.id, newHostId(), 2);
    ASSERT_EQ(claim.state, ClaimResult::State::claimed);
    ASSERT_EQ(store->pollEnrolment(tokenHash(pollToken), tokenHash(hostToken), 3).state,
              PollResult::State::claimed);
    store->addRelayToken(tokenHash(relayToken), claim.host.id, 100);
    store->addTicket(tokenHash(ticket), claim.host.id, account.id, 100);
  }
  std::string everything;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    everything += test::readFile(entry.path());
  }
  for (const auto& secret : {accountToken, pollToken, hostToken, relayToken, ticket}) {
    EXPECT_EQ(everything.find(secret), std::string::npos);
    EXPECT_NE(everything.find(tokenHash(secret)), std::string::npos);
  }
}

TEST(SqliteStore, EnrolmentClaimAndPoll) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {});
  const auto alice = store->addAccount("alice", "a@example.org", tokenHash("a"), 1);
  EXPECT_THROW(store->addAccount("alice", "", tokenHash("b"), 1), StoreError);
  ASSERT_TRUE(store->addEnrolment(enrolment("ABCD-EFGH", "p1", 100)));
  EXPECT_FALSE(store->addEnrolment(enrolment("ABCD-EFGH", "p2", 100)));  // code in use

  EXPECT_EQ(store->pollEnrolment(tokenHash("nope"), tokenHash("x"), 100).state,
            PollResult::State::unknown);
  EXPECT_EQ(store->pollEnrolment(tokenHash("p1"), tokenHash("x"), 100).state,
            PollResult::State::pending);
  EXPECT_EQ(store->claim("ZZZZ-ZZZZ", alice.id, newHostId(), 100).state,
            ClaimResult::State::unknown);
  const auto claimed = store->claim("ABCD-EFGH", alice.id, newHostId(), 699);
  ASSERT_EQ(claimed.state, ClaimResult::State::claimed);
  EXPECT_EQ(store->claim("ABCD-EFGH", alice.id, newHostId(), 699).state, ClaimResult::State::taken);
  // Listed as soon as it is claimed, before its token has been handed out.
  EXPECT_TRUE(store->hosts(alice.id).size() == 1);
  const auto poll = store->pollEnrolment(tokenHash("p1"), tokenHash("t1"), 699.5);
  ASSERT_EQ(poll.state, PollResult::State::claimed);
  EXPECT_EQ(poll.host.id, claimed.host.id);
  EXPECT_EQ(poll.account.email, "a@example.org");
  EXPECT_TRUE(store->hostByToken(tokenHash("t1")));
  EXPECT_EQ(store->pollEnrolment(tokenHash("p1"), tokenHash("t2"), 700).state,
            PollResult::State::expired);
  EXPECT_TRUE(store->hostByToken(tokenHash("t1")));  // an expired poll takes nothing away

  ASSERT_TRUE(store->addEnrolment(enrolment("BBBB-CCCC", "p3", 100)));
  EXPECT_EQ(store->claim("BBBB-CCCC", alice.id, newHostId(), 700).state,
            ClaimResult::State::expired);
}

TEST(SqliteStore, CredentialsExpireAndDieWithTheirHost) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {});
  const auto alice = store->addAccount("alice", "", tokenHash("a"), 1);
  const auto bob = store->addAccount("bob", "", tokenHash("b"), 1);
  ASSERT_TRUE(store->addEnrolment(enrolment("ABCD-EFGH", "p", 1)));
  const auto host = store->claim("ABCD-EFGH", alice.id, newHostId(), 2).host;
  store->pollEnrolment(tokenHash("p"), tokenHash("h"), 3);
  store->addRelayToken(tokenHash("r"), host.id, 100);
  store->addTicket(tokenHash("t1"), host.id, alice.id, 100);
  store->addTicket(tokenHash("t2"), host.id, alice.id, 100);

  EXPECT_EQ(store->relayToken(tokenHash("r"), 99).state, Credential::State::valid);
  EXPECT_EQ(store->relayToken(tokenHash("r"), 99).hostId, host.id);
  EXPECT_EQ(store->relayToken(tokenHash("r"), 100).state, Credential::State::expired);
  EXPECT_EQ(store->relayToken(tokenHash("x"), 1).state, Credential::State::unknown);
  EXPECT_EQ(store->takeTicket(tokenHash("t1"), 50).state, Credential::State::valid);
  EXPECT_EQ(store->takeTicket(tokenHash("t1"), 50).state, Credential::State::unknown);  // once

  EXPECT_FALSE(store->removeHost(host.id, bob.id, 60));  // not bob's
  EXPECT_TRUE(store->removeHost(host.id, alice.id, 60));
  EXPECT_FALSE(store->removeHost(host.id, alice.id, 61));
  EXPECT_EQ(store->relayToken(tokenHash("r"), 61).state, Credential::State::removed);
  EXPECT_EQ(store->takeTicket(tokenHash("t2"), 61).state, Credential::State::unknown);
  EXPECT_FALSE(store->hostByToken(tokenHash("h")));
  EXPECT_EQ(store->goneAmong({host.id, "hnone"}), (std::vector<std::string>{host.id, "hnone"}));

  store->purge(200, 61);  // removed at 60: gone with its tokens
  EXPECT_EQ(store->relayToken(tokenHash("r"), 61).state, Credential::State::unknown);
}

TEST(SqliteStore, SeesChangesMadeByAnotherProcess) {
  TempDir dir;
  auto store = SqliteStore::open(dir / "db", {});
  const auto before = store->externalChanges();
  EXPECT_EQ(store->externalChanges(), before);
  store->addAccount("alice", "", tokenHash("a"), 1);  // its own change does not count
  EXPECT_EQ(store->externalChanges(), before);
  auto other = SqliteStore::open(dir / "db", {});
  other->addAccount("bob", "", tokenHash("b"), 1);
  EXPECT_NE(store->externalChanges(), before);
  EXPECT_TRUE(store->accountByName("bob"));
}

}  // namespace
}  // namespace nimbrel::cloud
