#include "tools/devserver/store/SqliteStore.h"

#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <thread>
#include <utility>

#include "tools/devserver/store/Schema.h"

namespace devserver {

namespace {

struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementHandle = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

const char* const kKeyNames[] = {"key_m1", "key_m2", "key_m3"};
const char kSeededMark[] = "seeded";

}  // namespace

// One transaction on the connection. The first failing statement marks it
// failed; later statements then do nothing, and the caller rolls back.
class SqliteStore::Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}

  class Query {
   public:
    Query(Transaction* tx, const char* sql) : tx_(tx) {
      if (tx_->failed()) return;
      sqlite3_stmt* raw = nullptr;
      if (sqlite3_prepare_v2(tx_->db_, sql, -1, &raw, nullptr) != SQLITE_OK) {
        tx_->Fail();
        return;
      }
      statement_.reset(raw);
    }
    Query& Bind(std::int64_t value) {
      if (statement_ && sqlite3_bind_int64(statement_.get(), ++bound_, value) != SQLITE_OK) tx_->Fail();
      return *this;
    }
    Query& Bind(const std::string& value) {
      if (statement_ && sqlite3_bind_text(statement_.get(), ++bound_, value.data(),
                                          static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
        tx_->Fail();
      }
      return *this;
    }
    // True while there is a row; false when done or failed.
    bool Next() {
      if (!statement_ || tx_->failed()) return false;
      const int rc = sqlite3_step(statement_.get());
      if (rc == SQLITE_ROW) return true;
      if (rc != SQLITE_DONE) tx_->Fail();
      return false;
    }
    // Runs to the end; the rows it changed, or -1 on failure.
    int Run() {
      while (Next()) {
      }
      return tx_->failed() ? -1 : sqlite3_changes(tx_->db_);
    }
    std::int64_t Int(int column) const { return sqlite3_column_int64(statement_.get(), column); }
    std::string Text(int column) const {
      const auto* text = sqlite3_column_text(statement_.get(), column);
      const int size = sqlite3_column_bytes(statement_.get(), column);
      return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), size);
    }
    bool IsNull(int column) const { return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL; }

   private:
    Transaction* tx_;
    StatementHandle statement_;
    int bound_ = 0;
  };

  Query Sql(const char* sql) { return Query(this, sql); }
  bool Exec(const char* sql) { return Sql(sql).Run() >= 0; }
  bool failed() const { return failed_; }
  const std::string& message() const { return message_; }
  void Fail() {
    if (failed_) return;
    failed_ = true;
    message_ = sqlite3_errmsg(db_);
  }
  void Fail(const std::string& message) {
    if (failed_) return;
    failed_ = true;
    message_ = message;
  }

 private:
  sqlite3* db_;
  bool failed_ = false;
  std::string message_;
};

namespace {

using Transaction = SqliteStore::Transaction;

// A row selected as kAccountColumns.
void ReadAccount(const Transaction::Query& row, Account* account) {
  account->username = row.Text(0);
  account->password = row.Text(1);
  account->userlevel = static_cast<int>(row.Int(2));
  account->moneyleft = static_cast<int>(row.Int(3));
  account->timeleft = row.Text(4);
  account->vpnpd = row.Text(5);
  account->usermode = static_cast<int>(row.Int(6));
  account->simuses = static_cast<int>(row.Int(7));
  account->timetip = static_cast<int>(row.Int(8));
}

// The rows added (0 or 1), or -1.
int InsertAccount(Transaction* tx, const Account& account, bool unlessTaken) {
  return tx->Sql(InsertAccountSql(unlessTaken))
      .Bind(account.username)
      .Bind(account.password)
      .Bind(account.userlevel)
      .Bind(account.moneyleft)
      .Bind(account.timeleft)
      .Bind(account.vpnpd)
      .Bind(account.usermode)
      .Bind(account.simuses)
      .Bind(account.timetip)
      .Run();
}

bool SessionLive(Transaction* tx, const std::string& username, const std::string& token, std::int64_t now) {
  if (token.empty()) return false;
  auto query = tx->Sql("SELECT 1 FROM sessions WHERE username = ? AND token = ? AND expires_at > ?");
  query.Bind(username).Bind(token).Bind(now);
  return query.Next();
}

// Puts the credentials of the leases `where` selects at the back of their
// pools' queues and ends those leases; the number ended, or -1.
int EndLeases(Transaction* tx, const char* updateCredentials, const char* deleteLeases,
              const std::string* text, const std::int64_t* number) {
  auto update = tx->Sql(updateCredentials);
  auto remove = tx->Sql(deleteLeases);
  if (text != nullptr) {
    update.Bind(*text);
    remove.Bind(*text);
  } else {
    update.Bind(*number);
    remove.Bind(*number);
  }
  if (update.Run() < 0) return -1;
  return remove.Run();
}

const char kBackOfQueue[] =
    "UPDATE credentials SET queue_pos = (SELECT COALESCE(MAX(queue_pos), 0) + 1 FROM credentials)";

}  // namespace

void SqliteStore::Closer::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

SqliteStore::SqliteStore(Handle db) : db_(std::move(db)) {}

const char* StoreStatusName(StoreStatus status) {
  switch (status) {
    case StoreStatus::kOk:
      return "ok";
    case StoreStatus::kNotFound:
      return "not found";
    case StoreStatus::kConflict:
      return "conflict";
    case StoreStatus::kRefused:
      return "refused";
    case StoreStatus::kUnavailable:
      return "unavailable";
  }
  return "unknown";
}

template <typename Body>
StoreStatus SqliteStore::Run(bool write, std::string* error, Body body) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(db_.get());
  // A writer takes the write lock at BEGIN, so two instances never both read
  // and then both try to write (which SQLite could only settle by failing one).
  if (!tx.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN")) {
    if (error != nullptr) *error = tx.message();
    return StoreStatus::kUnavailable;
  }
  const StoreStatus status = body(&tx);
  if (!tx.failed() && status == StoreStatus::kOk && tx.Exec("COMMIT")) return status;
  sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  if (tx.failed()) {
    if (error != nullptr) *error = tx.message();
    return StoreStatus::kUnavailable;
  }
  return status;
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::string& path, const StoreOptions& options,
                                               std::string* error) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Handle db(raw);
  if (rc != SQLITE_OK) {
    *error = "cannot open " + path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), options.busyTimeoutMs);
  // Switching to WAL needs a moment alone with the file: another instance
  // opening it at the same time makes us wait, within the busy time-out.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.busyTimeoutMs);
  for (;;) {
    Transaction tx(db.get());
    auto mode = tx.Sql("PRAGMA journal_mode=WAL");
    const bool row = mode.Next();
    if (row || !tx.failed()) break;
    if (std::chrono::steady_clock::now() >= giveUp) {
      *error = path + ": cannot switch to WAL: " + tx.message();
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (const char* pragma : {"PRAGMA synchronous=NORMAL", "PRAGMA foreign_keys=ON"}) {
    if (sqlite3_exec(db.get(), pragma, nullptr, nullptr, nullptr) != SQLITE_OK) {
      *error = path + ": " + sqlite3_errmsg(db.get());
      return nullptr;
    }
  }
  std::unique_ptr<SqliteStore> store(new SqliteStore(std::move(db)));
  std::string why;
  const StoreStatus migrated = store->Run(true, &why, [&why](Transaction* tx) {
    tx->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    auto current = tx->Sql("SELECT COALESCE(MAX(version), 0) FROM schema_version");
    const int version = current.Next() ? static_cast<int>(current.Int(0)) : 0;
    if (tx->failed()) return StoreStatus::kUnavailable;
    if (version > LatestStoreVersion()) {
      why = "written by a newer proxyhelper-devserver (schema " + std::to_string(version) +
            ", this build knows " + std::to_string(LatestStoreVersion()) + ")";
      return StoreStatus::kRefused;
    }
    for (const Migration& migration : StoreMigrations()) {
      if (migration.version <= version) continue;
      for (const char* statement : migration.statements) tx->Exec(statement);
      tx->Sql("INSERT INTO schema_version (version) VALUES (?)").Bind(migration.version).Run();
    }
    return StoreStatus::kOk;
  });
  if (migrated != StoreStatus::kOk) {
    *error = path + ": " + (why.empty() ? std::string("cannot read or create the schema") : why);
    return nullptr;
  }
  return store;
}

bool SqliteStore::Ping() {
  return Run(false, nullptr, [](Transaction* tx) {
           auto query = tx->Sql("SELECT 1");
           return query.Next() && query.Int(0) == 1 ? StoreStatus::kOk : StoreStatus::kUnavailable;
         }) == StoreStatus::kOk;
}

StoreStatus SqliteStore::SettleKeys(const CipherKeys& offered, bool adoptStored, CipherKeys* inUse,
                                    std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    std::string stored[3];
    int found = 0;
    for (int i = 0; i < 3; ++i) {
      auto query = tx->Sql("SELECT value FROM meta WHERE name = ?");
      query.Bind(std::string(kKeyNames[i]));
      if (query.Next()) {
        stored[i] = query.Text(0);
        ++found;
      }
    }
    if (found == 0) {
      const std::string* items[] = {&offered.m1, &offered.m2, &offered.m3};
      for (int i = 0; i < 3; ++i) {
        tx->Sql("INSERT INTO meta (name, value) VALUES (?, ?)")
            .Bind(std::string(kKeyNames[i]))
            .Bind(*items[i])
            .Run();
        stored[i] = *items[i];
      }
    } else if (found != 3) {
      tx->Fail("the stored cipher keys are incomplete");
      return StoreStatus::kUnavailable;
    } else if (!adoptStored &&
               (stored[0] != offered.m1 || stored[1] != offered.m2 || stored[2] != offered.m3)) {
      return StoreStatus::kConflict;
    }
    inUse->m1 = stored[0];
    inUse->m2 = stored[1];
    inUse->m3 = stored[2];
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::ImportSeed(const SeedData& seed, std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    auto mark = tx->Sql("SELECT 1 FROM meta WHERE name = ?");
    mark.Bind(std::string(kSeededMark));
    if (mark.Next()) return StoreStatus::kConflict;
    for (const Account& account : seed.accounts) {
      InsertAccount(tx, account, false);
    }
    for (const PrepaidCard& card : seed.cards) {
      tx->Sql("INSERT INTO cards (cardno, cardpw, value) VALUES (?, ?, ?)")
          .Bind(card.cardno)
          .Bind(card.cardpw)
          .Bind(card.value)
          .Run();
    }
    std::int64_t id = 0;
    for (const auto& pool : seed.pools) {
      for (const Credential& credential : pool.second) {
        ++id;
        tx->Sql(
              "INSERT INTO credentials (id, pool, lendusername, lendpassword, queue_pos) VALUES (?, ?, ?, ?, "
              "?)")
            .Bind(id)
            .Bind(pool.first)
            .Bind(credential.lendusername)
            .Bind(credential.lendpassword)
            .Bind(id)
            .Run();
      }
    }
    tx->Sql("INSERT INTO meta (name, value) VALUES (?, '1')").Bind(std::string(kSeededMark)).Run();
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::CreateAccount(const Account& account, std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    const int added = InsertAccount(tx, account, true);
    return added == 1 ? StoreStatus::kOk : StoreStatus::kConflict;
  });
}

StoreStatus SqliteStore::FindAccount(const std::string& username, Account* account, std::string* error) {
  return Run(false, error, [&](Transaction* tx) {
    auto query =
        tx->Sql((std::string("SELECT ") + kAccountColumns + " FROM accounts a WHERE a.username = ?").c_str());
    query.Bind(username);
    if (!query.Next()) return StoreStatus::kNotFound;
    ReadAccount(query, account);
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::OpenSession(const SessionRecord& session, std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    auto exists = tx->Sql("SELECT 1 FROM accounts WHERE username = ?");
    exists.Bind(session.username);
    if (!exists.Next()) return StoreStatus::kNotFound;
    tx->Sql("DELETE FROM sessions WHERE username = ?").Bind(session.username).Run();
    tx->Sql("INSERT INTO sessions (username, token, machine_id, expires_at) VALUES (?, ?, ?, ?)")
        .Bind(session.username)
        .Bind(session.token)
        .Bind(session.machineId)
        .Bind(session.expiresAt)
        .Run();
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::CheckSession(const std::string& username, const std::string& token, std::int64_t now,
                                      Account* account, std::string* error) {
  if (token.empty()) return StoreStatus::kNotFound;
  return Run(false, error, [&](Transaction* tx) {
    auto query = tx->Sql((std::string("SELECT ") + kAccountColumns +
                          " FROM sessions s JOIN accounts a ON a.username = s.username"
                          " WHERE s.username = ? AND s.token = ? AND s.expires_at > ?")
                             .c_str());
    query.Bind(username).Bind(token).Bind(now);
    if (!query.Next()) return StoreStatus::kNotFound;
    ReadAccount(query, account);
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::CloseSession(const std::string& username, const std::string& token, std::int64_t now,
                                      std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    if (!SessionLive(tx, username, token, now)) return StoreStatus::kNotFound;
    tx->Sql("DELETE FROM sessions WHERE username = ?").Bind(username).Run();
    EndLeases(
        tx,
        (std::string(kBackOfQueue) + " WHERE id IN (SELECT credential_id FROM leases WHERE username = ?)")
            .c_str(),
        "DELETE FROM leases WHERE username = ?", &username, nullptr);
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::RedeemCard(const std::string& username, const std::string& cardno,
                                    const std::string& cardpw, std::int64_t now, int* balance,
                                    std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    auto account = tx->Sql("SELECT moneyleft FROM accounts WHERE username = ?");
    account.Bind(username);
    if (!account.Next()) return StoreStatus::kNotFound;
    const std::int64_t before = account.Int(0);
    auto card = tx->Sql("SELECT cardpw, value, used_by FROM cards WHERE cardno = ?");
    card.Bind(cardno);
    if (!card.Next() || card.Text(0) != cardpw) return StoreStatus::kNotFound;
    if (!card.IsNull(2)) return StoreStatus::kConflict;
    const std::int64_t after = before + card.Int(1);
    if (after > INT_MAX) return StoreStatus::kRefused;
    tx->Sql("UPDATE cards SET used_by = ?, used_at = ? WHERE cardno = ?")
        .Bind(username)
        .Bind(now)
        .Bind(cardno)
        .Run();
    tx->Sql("UPDATE accounts SET moneyleft = ? WHERE username = ?").Bind(after).Bind(username).Run();
    *balance = static_cast<int>(after);
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::AcquireLease(const std::string& sessionToken, std::int64_t now, LeaseRecord* lease,
                                      std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    if (!SessionLive(tx, lease->username, sessionToken, now)) return StoreStatus::kNotFound;
    auto taken = tx->Sql("SELECT 1 FROM leases WHERE token = ?");
    taken.Bind(lease->token);
    if (taken.Next()) return StoreStatus::kConflict;
    // The server's own pool first, then the shared one.
    for (const std::string& pool : {std::to_string(lease->serverId), std::string(kSharedPool)}) {
      auto free = tx->Sql(
          "SELECT c.id, c.lendusername, c.lendpassword FROM credentials c WHERE c.pool = ?"
          " AND NOT EXISTS (SELECT 1 FROM leases l WHERE l.credential_id = c.id)"
          " ORDER BY c.queue_pos, c.id LIMIT 1");
      free.Bind(pool);
      if (!free.Next()) continue;
      lease->pool = pool;
      lease->credential.lendusername = free.Text(1);
      lease->credential.lendpassword = free.Text(2);
      tx->Sql(
            "INSERT INTO leases (token, username, server_id, credential_id, last_handshake) VALUES (?, ?, ?, "
            "?, ?)")
          .Bind(lease->token)
          .Bind(lease->username)
          .Bind(lease->serverId)
          .Bind(free.Int(0))
          .Bind(lease->lastHandshake)
          .Run();
      return StoreStatus::kOk;
    }
    return StoreStatus::kRefused;
  });
}

StoreStatus SqliteStore::FindLease(const std::string& token, LeaseRecord* lease, std::string* error) {
  return Run(false, error, [&](Transaction* tx) {
    auto query = tx->Sql(
        "SELECT l.token, l.username, l.server_id, c.pool, c.lendusername, c.lendpassword, l.last_handshake"
        " FROM leases l JOIN credentials c ON c.id = l.credential_id WHERE l.token = ?");
    query.Bind(token);
    if (!query.Next()) return StoreStatus::kNotFound;
    lease->token = query.Text(0);
    lease->username = query.Text(1);
    lease->serverId = static_cast<int>(query.Int(2));
    lease->pool = query.Text(3);
    lease->credential.lendusername = query.Text(4);
    lease->credential.lendpassword = query.Text(5);
    lease->lastHandshake = query.Int(6);
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::TouchLease(const std::string& token, const std::string& username, std::int64_t now,
                                    std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    const int changed = tx->Sql("UPDATE leases SET last_handshake = ? WHERE token = ? AND username = ?")
                            .Bind(now)
                            .Bind(token)
                            .Bind(username)
                            .Run();
    return changed == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
  });
}

StoreStatus SqliteStore::ReleaseLease(const std::string& token, const std::string& username,
                                      std::string* error) {
  return Run(true, error, [&](Transaction* tx) {
    auto lease = tx->Sql("SELECT 1 FROM leases WHERE token = ? AND username = ?");
    lease.Bind(token).Bind(username);
    if (!lease.Next()) return StoreStatus::kNotFound;
    EndLeases(tx,
              (std::string(kBackOfQueue) + " WHERE id IN (SELECT credential_id FROM leases WHERE token = ?)")
                  .c_str(),
              "DELETE FROM leases WHERE token = ?", &token, nullptr);
    return StoreStatus::kOk;
  });
}

StoreStatus SqliteStore::ExpireLeases(std::int64_t silentSince, int* freed, std::string* error) {
  if (freed != nullptr) *freed = 0;
  // Most calls find nothing to do: look first without taking the write lock.
  const StoreStatus any = Run(false, error, [&](Transaction* tx) {
    auto query = tx->Sql("SELECT 1 FROM leases WHERE last_handshake < ? LIMIT 1");
    query.Bind(silentSince);
    return query.Next() ? StoreStatus::kOk : StoreStatus::kNotFound;
  });
  if (any == StoreStatus::kNotFound) return StoreStatus::kOk;
  if (any != StoreStatus::kOk) return any;
  return Run(true, error, [&](Transaction* tx) {
    const int ended = EndLeases(tx,
                                (std::string(kBackOfQueue) +
                                 " WHERE id IN (SELECT credential_id FROM leases WHERE last_handshake < ?)")
                                    .c_str(),
                                "DELETE FROM leases WHERE last_handshake < ?", nullptr, &silentSince);
    if (freed != nullptr && ended > 0) *freed = ended;
    return StoreStatus::kOk;
  });
}

}  // namespace devserver
