#include "cloud_server/sqlite_store.hpp"

#include <sqlite3.h>

#include <utility>

namespace nimbrel::cloud {

const std::vector<std::string_view>& schemaMigrations() {
  static const std::vector<std::string_view> steps = {
      // 1: accounts, the hosts claimed into them, and enrolments waiting for a claim.
      R"sql(
      CREATE TABLE accounts (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL UNIQUE,
        email TEXT NOT NULL DEFAULT '',
        token_hash TEXT NOT NULL UNIQUE,
        created_at REAL NOT NULL);
      CREATE TABLE hosts (
        id TEXT PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
        local_id TEXT NOT NULL,
        name TEXT NOT NULL,
        os TEXT NOT NULL,
        version TEXT NOT NULL,
        token_hash TEXT UNIQUE,
        created_at REAL NOT NULL,
        removed_at REAL);
      CREATE INDEX hosts_by_account ON hosts(account_id, local_id);
      CREATE TABLE enrolments (
        id INTEGER PRIMARY KEY,
        code TEXT NOT NULL UNIQUE,
        poll_hash TEXT NOT NULL UNIQUE,
        local_id TEXT NOT NULL,
        name TEXT NOT NULL,
        os TEXT NOT NULL,
        version TEXT NOT NULL,
        created_at REAL NOT NULL,
        expires_at REAL NOT NULL,
        host_id TEXT REFERENCES hosts(id) ON DELETE CASCADE);
      )sql",
      // 2: relay credentials (tokens for hosts, one-time tickets for clients) and when a host
      // last asked for one.
      R"sql(
      ALTER TABLE hosts ADD COLUMN last_seen REAL NOT NULL DEFAULT 0;
      CREATE TABLE relay_tokens (
        hash TEXT PRIMARY KEY,
        host_id TEXT NOT NULL REFERENCES hosts(id) ON DELETE CASCADE,
        expires_at REAL NOT NULL);
      CREATE INDEX relay_tokens_by_host ON relay_tokens(host_id);
      CREATE TABLE tickets (
        hash TEXT PRIMARY KEY,
        host_id TEXT NOT NULL REFERENCES hosts(id) ON DELETE CASCADE,
        account_id INTEGER NOT NULL,
        expires_at REAL NOT NULL);
      CREATE INDEX tickets_by_host ON tickets(host_id);
      )sql",
      // 3: the host an enrolment proved to be (by its host token), which a claim of it may
      // replace; enrolments from before prove nothing.
      R"sql(
      ALTER TABLE enrolments ADD COLUMN proven_host_id TEXT;
      )sql",
  };
  return steps;
}

// One prepared statement; binds by position from 1, reads columns from 0.
class SqliteStore::Statement {
 public:
  Statement(SqliteStore& store, std::string_view sql) : store_(store) {
    const int rc = sqlite3_prepare_v2(store.db_, sql.data(), static_cast<int>(sql.size()), &stmt_,
                                      nullptr);
    if (rc != SQLITE_OK) store.fail(rc, "preparing a statement");
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, const std::string& text) {
    check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& bind(int index, double value) {
    check(sqlite3_bind_double(stmt_, index, value));
    return *this;
  }
  Statement& bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }

  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    store_.fail(rc, "running a statement");
  }

  // Runs to the end; false when a UNIQUE constraint stopped it.
  bool runUnlessDuplicate() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
    if (sqlite3_extended_errcode(store_.db_) == SQLITE_CONSTRAINT_UNIQUE) return false;
    store_.fail(rc, "running a statement");
  }
  void run() {
    while (step()) {
    }
  }

  std::string text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
  }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) store_.fail(rc, "binding a value");
  }
  SqliteStore& store_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE … COMMIT, rolled back when left by an exception.
class SqliteStore::Transaction {
 public:
  explicit Transaction(SqliteStore& store) : store_(store) { store_.exec("BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    store_.exec("COMMIT");
    done_ = true;
  }

 private:
  SqliteStore& store_;
  bool done_ = false;
};

namespace {

constexpr std::string_view kHostColumns =
    "id, account_id, local_id, name, os, version, created_at, last_seen";

}  // namespace

SqliteStore::SqliteStore(sqlite3* db, std::filesystem::path file)
    : db_(db), file_(std::move(file)) {}

SqliteStore::~SqliteStore() { sqlite3_close_v2(db_); }

void SqliteStore::fail(int code, std::string_view what) {
  const int primary = code & 0xff;
  const std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
  const std::string file = file_.string();
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
    throw StoreError("the database " + file + " is damaged (" + detail +
                     "); restore it from a backup or move it away to start afresh");
  }
  if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    throw StoreError("the database " + file + " is locked by another process (" + detail + ")");
  }
  if (primary == SQLITE_CANTOPEN) throw StoreError("cannot open the database " + file + " (" + detail + ")");
  if (primary == SQLITE_READONLY || primary == SQLITE_PERM) {
    throw StoreError("cannot write the database " + file + " (" + detail + ")");
  }
  if (primary == SQLITE_FULL) throw StoreError("the disk holding " + file + " is full");
  throw StoreError("database " + file + ": " + std::string(what) + " failed (" + detail + ")");
}

SqliteStore::Statement SqliteStore::prepare(std::string_view sql) { return Statement(*this, sql); }

void SqliteStore::exec(std::string_view sql) {
  char* message = nullptr;
  const std::string text(sql);
  const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message);
  sqlite3_free(message);
  if (rc != SQLITE_OK) fail(rc, "a statement");
}

std::unique_ptr<SqliteStore> SqliteStore::open(const std::filesystem::path& file, Options options) {
  std::error_code ignored;
  if (!options.create && !std::filesystem::exists(file, ignored)) {
    throw StoreError("no database at " + file.string());
  }
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  std::unique_ptr<SqliteStore> store(new SqliteStore(db, file));
  if (rc != SQLITE_OK) store->fail(rc, "opening");
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, options.busyTimeoutMs);
  // The first read of the file: one that is not a database, or whose schema is newer than this
  // program, is refused here, before anything (even the journal mode) is written to it.
  const int version = store->schemaVersion();
  const int latest = static_cast<int>(schemaMigrations().size());
  if (version > latest) {
    throw StoreError("the database " + file.string() + " has schema version " +
                     std::to_string(version) + ", newer than this program knows (" +
                     std::to_string(latest) + "); run a newer nimbrel-cloud");
  }
  {
    auto mode = store->prepare("PRAGMA journal_mode=WAL");
    const std::string result = mode.step() ? mode.text(0) : "";
    if (result != "wal") throw StoreError("the database " + file.string() + " cannot use WAL mode");
  }
  store->exec("PRAGMA foreign_keys=ON");
  store->exec("PRAGMA synchronous=FULL");
  if (options.check) {
    auto check = store->prepare("PRAGMA quick_check");
    const std::string result = check.step() ? check.text(0) : "";
    if (result != "ok") {
      throw StoreError("the database " + file.string() + " is damaged (" + result +
                       "); restore it from a backup or move it away to start afresh");
    }
  }
  store->migrate();
  return store;
}

int SqliteStore::schemaVersion() {
  auto version = prepare("PRAGMA user_version");
  return version.step() ? static_cast<int>(version.integer(0)) : 0;
}

void SqliteStore::migrate() {
  const auto& steps = schemaMigrations();
  const int latest = static_cast<int>(steps.size());
  Transaction transaction(*this);
  const int version = schemaVersion();
  if (version > latest) {
    throw StoreError("the database " + file_.string() + " has schema version " +
                     std::to_string(version) + ", newer than this program knows (" +
                     std::to_string(latest) + "); run a newer nimbrel-cloud");
  }
  for (int i = version; i < latest; ++i) exec(steps[static_cast<std::size_t>(i)]);
  if (version != latest) exec("PRAGMA user_version=" + std::to_string(latest));
  transaction.commit();
}

Account SqliteStore::addAccount(const std::string& name, const std::string& email,
                                const std::string& tokenHash, double now) {
  auto insert = prepare(
      "INSERT INTO accounts(name, email, token_hash, created_at) VALUES (?, ?, ?, ?)");
  insert.bind(1, name).bind(2, email).bind(3, tokenHash).bind(4, now);
  if (!insert.runUnlessDuplicate()) {
    throw StoreError("an account named \"" + name + "\" exists already");
  }
  return Account{sqlite3_last_insert_rowid(db_), name, email};
}

std::optional<Account> SqliteStore::accountByName(const std::string& name) {
  auto select = prepare("SELECT id, name, email FROM accounts WHERE name = ?");
  select.bind(1, name);
  if (!select.step()) return std::nullopt;
  return Account{select.integer(0), select.text(1), select.text(2)};
}

std::optional<Account> SqliteStore::accountByToken(const std::string& tokenHash) {
  auto select = prepare("SELECT id, name, email FROM accounts WHERE token_hash = ?");
  select.bind(1, tokenHash);
  if (!select.step()) return std::nullopt;
  return Account{select.integer(0), select.text(1), select.text(2)};
}

bool SqliteStore::addEnrolment(const NewEnrolment& e) {
  auto insert = prepare(
      "INSERT INTO enrolments(code, poll_hash, local_id, name, os, version, created_at, "
      "expires_at, proven_host_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, NULLIF(?, ''))");
  insert.bind(1, e.code).bind(2, e.pollHash).bind(3, e.localId).bind(4, e.name).bind(5, e.os);
  insert.bind(6, e.version).bind(7, e.createdAt).bind(8, e.expiresAt).bind(9, e.provenHostId);
  return insert.runUnlessDuplicate();
}

namespace {

template <typename Statement>
HostRecord readHost(const Statement& s, int first = 0) {
  return HostRecord{s.text(first),     s.integer(first + 1), s.text(first + 2), s.text(first + 3),
                    s.text(first + 4), s.text(first + 5),    s.real(first + 6), s.real(first + 7)};
}

}  // namespace

PollResult SqliteStore::pollEnrolment(const std::string& pollHash,
                                      const std::string& newHostTokenHash, double now) {
  Transaction transaction(*this);
  PollResult result;
  auto select = prepare("SELECT expires_at, host_id FROM enrolments WHERE poll_hash = ?");
  select.bind(1, pollHash);
  if (!select.step()) return result;
  const double expiresAt = select.real(0);
  const bool claimed = !select.isNull(1);
  const std::string hostId = select.text(1);
  if (now >= expiresAt) {
    result.state = PollResult::State::expired;
    return result;
  }
  if (!claimed) {
    result.state = PollResult::State::pending;
    return result;
  }
  auto update = prepare("UPDATE hosts SET token_hash = ? WHERE id = ? AND removed_at IS NULL");
  update.bind(1, newHostTokenHash).bind(2, hostId).run();
  if (sqlite3_changes(db_) == 0) {
    result.state = PollResult::State::expired;  // removed before it could be delivered
    return result;
  }
  auto host = prepare("SELECT h.id, h.account_id, h.local_id, h.name, h.os, h.version, "
                      "h.created_at, h.last_seen, a.name, a.email FROM hosts h "
                      "JOIN accounts a ON a.id = h.account_id WHERE h.id = ?");
  host.bind(1, hostId);
  if (!host.step()) return result;
  result.state = PollResult::State::claimed;
  result.host = readHost(host);
  result.account = Account{result.host.accountId, host.text(8), host.text(9)};
  transaction.commit();
  return result;
}

ClaimResult SqliteStore::claim(const std::string& code, std::int64_t accountId,
                               const std::string& newHostId, double now) {
  Transaction transaction(*this);
  ClaimResult result;
  auto select = prepare(
      "SELECT id, local_id, name, os, version, expires_at, host_id, proven_host_id "
      "FROM enrolments WHERE code = ?");
  select.bind(1, code);
  if (!select.step()) return result;
  if (!select.isNull(6)) {
    result.state = ClaimResult::State::taken;
    return result;
  }
  if (now >= select.real(5)) {
    result.state = ClaimResult::State::expired;
    return result;
  }
  const std::int64_t enrolmentId = select.integer(0);
  const std::string proven = select.text(7);
  HostRecord host{newHostId, accountId, select.text(1), select.text(2), select.text(3),
                  select.text(4), now, 0};
  auto earlier = prepare(
      "SELECT id FROM hosts WHERE account_id = ? AND local_id = ? AND removed_at IS NULL "
      "ORDER BY created_at, id");
  earlier.bind(1, accountId).bind(2, host.localId);
  while (earlier.step()) {
    std::string id = earlier.text(0);
    (!proven.empty() && id == proven ? result.replacedHostIds : result.keptHostIds)
        .push_back(std::move(id));
  }
  for (const auto& id : result.replacedHostIds) {
    auto remove = prepare("UPDATE hosts SET removed_at = ?, token_hash = NULL WHERE id = ?");
    remove.bind(1, now).bind(2, id).run();
  }
  auto insert = prepare(
      "INSERT INTO hosts(id, account_id, local_id, name, os, version, created_at) "
      "VALUES (?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, host.id).bind(2, accountId).bind(3, host.localId).bind(4, host.name);
  insert.bind(5, host.os).bind(6, host.version).bind(7, now).run();
  auto link = prepare("UPDATE enrolments SET host_id = ? WHERE id = ?");
  link.bind(1, host.id).bind(2, enrolmentId).run();
  transaction.commit();
  result.state = ClaimResult::State::claimed;
  result.host = std::move(host);
  return result;
}

std::optional<HostRecord> SqliteStore::hostByToken(const std::string& tokenHash) {
  auto select = prepare("SELECT " + std::string(kHostColumns) +
                        " FROM hosts WHERE token_hash = ? AND removed_at IS NULL");
  select.bind(1, tokenHash);
  if (!select.step()) return std::nullopt;
  return readHost(select);
}

std::optional<HostRecord> SqliteStore::host(const std::string& hostId) {
  auto select = prepare("SELECT " + std::string(kHostColumns) +
                        " FROM hosts WHERE id = ? AND removed_at IS NULL");
  select.bind(1, hostId);
  if (!select.step()) return std::nullopt;
  return readHost(select);
}

std::vector<HostRecord> SqliteStore::hosts(std::int64_t accountId) {
  auto select = prepare("SELECT " + std::string(kHostColumns) +
                        " FROM hosts WHERE removed_at IS NULL AND (?1 = 0 OR account_id = ?1) "
                        "ORDER BY created_at, id");
  select.bind(1, accountId);
  std::vector<HostRecord> out;
  while (select.step()) out.push_back(readHost(select));
  return out;
}

void SqliteStore::touchHost(const std::string& hostId, const std::string& name,
                            const std::string& version, double now) {
  auto update = prepare(
      "UPDATE hosts SET name = CASE WHEN ?1 = '' THEN name ELSE ?1 END, "
      "version = CASE WHEN ?2 = '' THEN version ELSE ?2 END, last_seen = ?3 WHERE id = ?4");
  update.bind(1, name).bind(2, version).bind(3, now).bind(4, hostId).run();
}

bool SqliteStore::removeHost(const std::string& hostId, std::int64_t accountId, double now) {
  Transaction transaction(*this);
  auto update = prepare(
      "UPDATE hosts SET removed_at = ?1, token_hash = NULL "
      "WHERE id = ?2 AND removed_at IS NULL AND (?3 = 0 OR account_id = ?3)");
  update.bind(1, now).bind(2, hostId).bind(3, accountId).run();
  const bool removed = sqlite3_changes(db_) > 0;
  if (removed) {
    auto tickets = prepare("DELETE FROM tickets WHERE host_id = ?");
    tickets.bind(1, hostId).run();
  }
  transaction.commit();
  return removed;
}

std::vector<std::string> SqliteStore::goneAmong(const std::vector<std::string>& hostIds) {
  std::vector<std::string> gone;
  for (const auto& id : hostIds) {
    auto select = prepare("SELECT 1 FROM hosts WHERE id = ? AND removed_at IS NULL");
    select.bind(1, id);
    if (!select.step()) gone.push_back(id);
  }
  return gone;
}

void SqliteStore::addRelayToken(const std::string& tokenHash, const std::string& hostId,
                                double expiresAt) {
  auto insert = prepare("INSERT INTO relay_tokens(hash, host_id, expires_at) VALUES (?, ?, ?)");
  insert.bind(1, tokenHash).bind(2, hostId).bind(3, expiresAt).run();
}

namespace {

template <typename Statement>
Credential readCredential(Statement& select, double now) {
  Credential credential;
  if (!select.step()) return credential;
  credential.hostId = select.text(0);
  credential.accountId = select.integer(3);
  if (!select.isNull(2)) {
    credential.state = Credential::State::removed;
  } else if (now >= select.real(1)) {
    credential.state = Credential::State::expired;
  } else {
    credential.state = Credential::State::valid;
  }
  return credential;
}

}  // namespace

Credential SqliteStore::relayToken(const std::string& tokenHash, double now) {
  auto select = prepare(
      "SELECT r.host_id, r.expires_at, h.removed_at, h.account_id FROM relay_tokens r "
      "JOIN hosts h ON h.id = r.host_id WHERE r.hash = ?");
  select.bind(1, tokenHash);
  return readCredential(select, now);
}

void SqliteStore::addTicket(const std::string& ticketHash, const std::string& hostId,
                            std::int64_t accountId, double expiresAt) {
  auto insert = prepare(
      "INSERT INTO tickets(hash, host_id, account_id, expires_at) VALUES (?, ?, ?, ?)");
  insert.bind(1, ticketHash).bind(2, hostId).bind(3, accountId).bind(4, expiresAt).run();
}

Credential SqliteStore::takeTicket(const std::string& ticketHash, double now) {
  Transaction transaction(*this);
  auto select = prepare(
      "SELECT t.host_id, t.expires_at, h.removed_at, t.account_id FROM tickets t "
      "JOIN hosts h ON h.id = t.host_id WHERE t.hash = ?");
  select.bind(1, ticketHash);
  const Credential credential = readCredential(select, now);
  if (credential.state != Credential::State::unknown) {
    auto remove = prepare("DELETE FROM tickets WHERE hash = ?");
    remove.bind(1, ticketHash).run();
  }
  transaction.commit();
  return credential;
}

void SqliteStore::purge(double now, double removedBefore) {
  Transaction transaction(*this);
  // Enrolments stay an hour past their expiry so that late polls still hear "expired".
  auto enrolments = prepare("DELETE FROM enrolments WHERE expires_at < ?");
  enrolments.bind(1, now - 3600).run();
  auto tokens = prepare("DELETE FROM relay_tokens WHERE expires_at < ?");
  tokens.bind(1, now).run();
  auto tickets = prepare("DELETE FROM tickets WHERE expires_at < ?");
  tickets.bind(1, now).run();
  auto hosts = prepare("DELETE FROM hosts WHERE removed_at IS NOT NULL AND removed_at < ?");
  hosts.bind(1, removedBefore).run();
  transaction.commit();
}

std::int64_t SqliteStore::externalChanges() {
  auto select = prepare("PRAGMA data_version");
  return select.step() ? select.integer(0) : 0;
}

}  // namespace nimbrel::cloud
