#include "tools/devserver/store/PostgresStore.h"

#include <libpq-fe.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "tools/devserver/store/Schema.h"

namespace devserver {

namespace {

struct ConnectionCloser {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using ConnectionHandle = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using ResultHandle = std::unique_ptr<PGresult, ResultClearer>;

// Connections one store keeps open at most; the HTTP threads beyond that
// wait for one, within kConnectionWait.
constexpr std::size_t kMaxConnections = 8;
constexpr auto kConnectionWait = std::chrono::seconds(5);
// Runs of one transaction that the server aborted for a conflict: with 16
// clients on one row each run lets at least one through.
constexpr int kMaxAttempts = 40;
// Taken by the migrating transaction, so instances opening a new database
// at once create its tables one after the other.
constexpr long long kMigrationLock = 0x7078796865;

const char* const kKeyNames[] = {"key_m1", "key_m2", "key_m3"};
const char kSeededMark[] = "seeded";

// The transaction may run again whole: the server found it conflicting with
// a concurrent one (serialization failure, deadlock), or another
// transaction inserted the same key first.
bool IsRetryable(const std::string& sqlState) {
  return sqlState == "40001" || sqlState == "40P01" || sqlState == "23505";
}

std::string Trimmed(const char* text) {
  std::string message = text != nullptr ? text : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

void IgnoreNotice(void*, const char*) {}

// A statement's parameter as text, the form PQexecParams takes; implicit,
// so parameters are written as a braced list.
struct Param {
  Param(const std::string& value) : text(value) {}
  Param(const char* value) : text(value) {}
  Param(int value) : text(std::to_string(value)) {}
  Param(long value) : text(std::to_string(value)) {}
  Param(long long value) : text(std::to_string(value)) {}
  std::string text;
};

// A statement's result rows, read as text.
class Rows {
 public:
  Rows() = default;
  explicit Rows(ResultHandle result) : result_(std::move(result)) {}
  int size() const { return result_ ? PQntuples(result_.get()) : 0; }
  bool empty() const { return size() == 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
  }
  std::int64_t Int(int row, int column) const {
    return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
  }
  bool IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  // Rows an INSERT, UPDATE or DELETE changed.
  int Changed() const { return result_ ? std::atoi(PQcmdTuples(result_.get())) : 0; }

 private:
  ResultHandle result_;
};

}  // namespace

// One transaction on one connection. The first failing statement marks it
// failed; later statements then do nothing, and Run rolls back.
class PostgresTransaction {
 public:
  explicit PostgresTransaction(PGconn* connection) : connection_(connection) {}

  Rows Sql(const char* sql, std::initializer_list<Param> params = {}) {
    if (failed_) return Rows();
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const Param& param : params) values.push_back(param.text.c_str());
    ResultHandle result(PQexecParams(connection_, sql, static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0));
    const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
      sqlState_ = state != nullptr ? state : "";
      Fail(result ? Trimmed(PQresultErrorMessage(result.get())) : Trimmed(PQerrorMessage(connection_)));
      return Rows();
    }
    return Rows(std::move(result));
  }
  // The rows the statement changed, or -1 on failure.
  int Exec(const char* sql, std::initializer_list<Param> params = {}) {
    const Rows rows = Sql(sql, params);
    return failed_ ? -1 : rows.Changed();
  }

  bool failed() const { return failed_; }
  bool retryable() const { return IsRetryable(sqlState_); }
  const std::string& message() const { return message_; }
  void Fail(const std::string& message) {
    if (failed_) return;
    failed_ = true;
    message_ = message.empty() ? std::string("PostgreSQL statement failed") : message;
  }

 private:
  PGconn* connection_;
  bool failed_ = false;
  std::string sqlState_;
  std::string message_;
};

namespace {

using Transaction = PostgresTransaction;

// The first row, selected as kAccountColumns.
void ReadAccount(const Rows& rows, Account* account) {
  account->username = rows.Text(0, 0);
  account->password = rows.Text(0, 1);
  account->userlevel = static_cast<int>(rows.Int(0, 2));
  account->moneyleft = static_cast<int>(rows.Int(0, 3));
  account->timeleft = rows.Text(0, 4);
  account->vpnpd = rows.Text(0, 5);
  account->usermode = static_cast<int>(rows.Int(0, 6));
  account->simuses = static_cast<int>(rows.Int(0, 7));
  account->timetip = static_cast<int>(rows.Int(0, 8));
}

// The rows added (0 or 1), or -1.
int InsertAccount(Transaction* tx, const Account& account, bool unlessTaken) {
  return tx->Exec(InsertAccountSql(unlessTaken),
                  {account.username, account.password, account.userlevel, account.moneyleft, account.timeleft,
                   account.vpnpd, account.usermode, account.simuses, account.timetip});
}

bool SessionLive(Transaction* tx, const std::string& username, const std::string& token, std::int64_t now) {
  if (token.empty()) return false;
  return !tx->Sql("SELECT 1 FROM sessions WHERE username = $1 AND token = $2 AND expires_at > $3",
                  {username, token, now})
              .empty();
}

// Moves the credentials of the leases `leases` (a subquery over `leases`
// with one parameter) to the back of their pools' queues; then `remove`
// ends those leases. The number ended, or -1.
int EndLeases(Transaction* tx, const std::string& leases, const char* remove, const Param& param) {
  const std::string update =
      "UPDATE credentials SET queue_pos = (SELECT COALESCE(MAX(queue_pos), 0) + 1 FROM credentials)"
      " WHERE id IN (" +
      leases + ")";
  if (tx->Exec(update.c_str(), {param}) < 0) return -1;
  return tx->Exec(remove, {param});
}

ConnectionHandle Connect(const std::string& conninfo, std::string* why) {
  // Later entries override earlier ones: the string's own time-out wins.
  const char* const keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* const values[] = {"10", conninfo.c_str(), nullptr};
  ConnectionHandle connection(PQconnectdbParams(keywords, values, 1));
  if (!connection) {
    *why = "cannot connect to PostgreSQL: out of memory";
    return nullptr;
  }
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    *why = "cannot connect to PostgreSQL: " + Trimmed(PQerrorMessage(connection.get()));
    return nullptr;
  }
  PQsetNoticeProcessor(connection.get(), IgnoreNotice, nullptr);
  // Bounded waits for another writer's locks, as SQLite's busy time-out.
  ResultHandle set(PQexec(connection.get(), "SET lock_timeout = '5s'; SET statement_timeout = '30s'"));
  if (!set || PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
    *why = "PostgreSQL: " + Trimmed(PQerrorMessage(connection.get()));
    return nullptr;
  }
  return connection;
}

// A short random pause before running a conflicting transaction again, so
// the racers do not meet again in step.
void Backoff(int attempt) {
  thread_local std::minstd_rand random(static_cast<unsigned>(
      std::hash<std::thread::id>()(std::this_thread::get_id()) ^
      static_cast<std::size_t>(std::chrono::steady_clock::now().time_since_epoch().count())));
  const int ceiling = 2 + 3 * (attempt < 10 ? attempt : 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(1 + random() % ceiling));
}

class PostgresStore final : public Store {
 public:
  explicit PostgresStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  ~PostgresStore() override = default;
  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

  // Brings the schema up to date; false with `error` set otherwise.
  bool Migrate(std::string* error);

  bool Ping() override;
  StoreStatus SettleKeys(const CipherKeys& offered, bool adoptStored, CipherKeys* inUse,
                         std::string* error) override;
  StoreStatus ImportSeed(const SeedData& seed, std::string* error) override;
  StoreStatus CreateAccount(const Account& account, std::string* error) override;
  StoreStatus FindAccount(const std::string& username, Account* account, std::string* error) override;
  StoreStatus OpenSession(const SessionRecord& session, std::string* error) override;
  StoreStatus CheckSession(const std::string& username, const std::string& token, std::int64_t now,
                           Account* account, std::string* error) override;
  StoreStatus CloseSession(const std::string& username, const std::string& token, std::int64_t now,
                           std::string* error) override;
  StoreStatus RedeemCard(const std::string& username, const std::string& cardno, const std::string& cardpw,
                         std::int64_t now, int* balance, std::string* error) override;
  StoreStatus AcquireLease(const std::string& sessionToken, std::int64_t now, LeaseRecord* lease,
                           std::string* error) override;
  StoreStatus FindLease(const std::string& token, LeaseRecord* lease, std::string* error) override;
  StoreStatus TouchLease(const std::string& token, const std::string& username, std::int64_t now,
                         std::string* error) override;
  StoreStatus ReleaseLease(const std::string& token, const std::string& username,
                           std::string* error) override;
  StoreStatus ExpireLeases(std::int64_t silentSince, int* freed, std::string* error) override;

 private:
  // A connection borrowed from the store, given back (or closed, when it
  // broke or is mid-transaction) at the end of its scope.
  class Borrowed {
   public:
    Borrowed(PostgresStore* store, ConnectionHandle connection)
        : store_(store), connection_(std::move(connection)) {}
    Borrowed(Borrowed&& other) noexcept = default;
    ~Borrowed() {
      if (connection_) store_->GiveBack(std::move(connection_));
    }
    PGconn* get() const { return connection_.get(); }
    explicit operator bool() const { return connection_ != nullptr; }

   private:
    PostgresStore* store_;
    ConnectionHandle connection_;
  };

  Borrowed Borrow(std::string* why);
  void GiveBack(ConnectionHandle connection);

  template <typename Body>
  StoreStatus Run(const char* begin, std::string* error, Body body);
  template <typename Body>
  StoreStatus Run(std::string* error, Body body) {
    return Run("BEGIN ISOLATION LEVEL SERIALIZABLE", error, body);
  }

  const std::string conninfo_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::vector<ConnectionHandle> idle_;
  std::size_t open_ = 0;  // idle and borrowed
};

PostgresStore::Borrowed PostgresStore::Borrow(std::string* why) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!freed_.wait_for(lock, kConnectionWait, [this] { return !idle_.empty() || open_ < kMaxConnections; })) {
    *why = "PostgreSQL: all " + std::to_string(kMaxConnections) + " connections stayed busy";
    return Borrowed(this, nullptr);
  }
  if (!idle_.empty()) {
    ConnectionHandle connection = std::move(idle_.back());
    idle_.pop_back();
    return Borrowed(this, std::move(connection));
  }
  ++open_;
  lock.unlock();
  ConnectionHandle connection = Connect(conninfo_, why);
  if (!connection) {
    lock.lock();
    --open_;
    freed_.notify_one();
  }
  return Borrowed(this, std::move(connection));
}

void PostgresStore::GiveBack(ConnectionHandle connection) {
  // A broken connection, or one left inside a transaction, is closed; the
  // next call opens a fresh one.
  const bool reusable =
      PQstatus(connection.get()) == CONNECTION_OK && PQtransactionStatus(connection.get()) == PQTRANS_IDLE;
  if (!reusable) connection.reset();
  std::lock_guard<std::mutex> lock(mutex_);
  if (reusable) {
    idle_.push_back(std::move(connection));
  } else {
    --open_;
  }
  freed_.notify_one();
}

template <typename Body>
StoreStatus PostgresStore::Run(const char* begin, std::string* error, Body body) {
  std::string why;
  for (int attempt = 1;; ++attempt) {
    Borrowed connection = Borrow(&why);
    if (!connection) break;
    Transaction tx(connection.get());
    const bool begun = tx.Exec(begin) >= 0;
    // A connection the server dropped while idle fails at BEGIN; nothing
    // was done, so a fresh one may try again.
    const bool staleAtBegin = !begun && PQstatus(connection.get()) != CONNECTION_OK;
    const StoreStatus status = begun ? body(&tx) : StoreStatus::kUnavailable;
    if (begun) tx.Exec(!tx.failed() && status == StoreStatus::kOk ? "COMMIT" : "ROLLBACK");
    if (!tx.failed()) return status;
    why = tx.message();
    if (PQstatus(connection.get()) == CONNECTION_OK &&
        PQtransactionStatus(connection.get()) != PQTRANS_IDLE) {
      ResultHandle rollback(PQexec(connection.get(), "ROLLBACK"));
    }
    if (attempt >= kMaxAttempts || !(tx.retryable() || (staleAtBegin && attempt == 1))) break;
    if (!staleAtBegin) Backoff(attempt);
  }
  if (error != nullptr) *error = why;
  return StoreStatus::kUnavailable;
}

bool PostgresStore::Migrate(std::string* error) {
  std::string why;
  // READ COMMITTED: after the lock, each statement sees what an instance
  // that migrated first committed.
  const StoreStatus migrated = Run("BEGIN ISOLATION LEVEL READ COMMITTED", error, [&why](Transaction* tx) {
    tx->Sql("SELECT pg_advisory_xact_lock($1::bigint)", {kMigrationLock});
    tx->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const Rows current = tx->Sql("SELECT COALESCE(MAX(version), 0) FROM schema_version");
    if (tx->failed()) return StoreStatus::kUnavailable;
    const int version = static_cast<int>(current.Int(0, 0));
    if (version > LatestStoreVersion()) {
      why = "written by a newer proxyhelper-devserver (schema " + std::to_string(version) +
            ", this build knows " + std::to_string(LatestStoreVersion()) + ")";
      return StoreStatus::kRefused;
    }
    for (const Migration& migration : StoreMigrations()) {
      if (migration.version <= version) continue;
      for (const char* statement : migration.statements) tx->Exec(statement);
      tx->Exec("INSERT INTO schema_version (version) VALUES ($1)", {migration.version});
    }
    return StoreStatus::kOk;
  });
  if (migrated == StoreStatus::kOk) return true;
  if (!why.empty()) *error = "PostgreSQL: " + why;
  if (error->empty()) *error = "PostgreSQL: cannot read or create the schema";
  return false;
}

bool PostgresStore::Ping() {
  return Run(nullptr, [](Transaction* tx) {
           const Rows rows = tx->Sql("SELECT 1");
           return !rows.empty() && rows.Int(0, 0) == 1 ? StoreStatus::kOk : StoreStatus::kUnavailable;
         }) == StoreStatus::kOk;
}

StoreStatus PostgresStore::SettleKeys(const CipherKeys& offered, bool adoptStored, CipherKeys* inUse,
                                      std::string* error) {
  return Run(error, [&](Transaction* tx) {
    std::string stored[3];
    int found = 0;
    for (int i = 0; i < 3; ++i) {
      const Rows rows = tx->Sql("SELECT value FROM meta WHERE name = $1", {kKeyNames[i]});
      if (!rows.empty()) {
        stored[i] = rows.Text(0, 0);
        ++found;
      }
    }
    if (tx->failed()) return StoreStatus::kUnavailable;
    if (found == 0) {
      const std::string* items[] = {&offered.m1, &offered.m2, &offered.m3};
      for (int i = 0; i < 3; ++i) {
        tx->Exec("INSERT INTO meta (name, value) VALUES ($1, $2)", {kKeyNames[i], *items[i]});
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

StoreStatus PostgresStore::ImportSeed(const SeedData& seed, std::string* error) {
  return Run(error, [&](Transaction* tx) {
    if (!tx->Sql("SELECT 1 FROM meta WHERE name = $1", {kSeededMark}).empty()) return StoreStatus::kConflict;
    for (const Account& account : seed.accounts) {
      InsertAccount(tx, account, false);
    }
    for (const PrepaidCard& card : seed.cards) {
      tx->Exec("INSERT INTO cards (cardno, cardpw, value) VALUES ($1, $2, $3)",
               {card.cardno, card.cardpw, card.value});
    }
    long long id = 0;
    for (const auto& pool : seed.pools) {
      for (const Credential& credential : pool.second) {
        ++id;
        tx->Exec(
            "INSERT INTO credentials (id, pool, lendusername, lendpassword, queue_pos)"
            " VALUES ($1, $2, $3, $4, $5)",
            {id, pool.first, credential.lendusername, credential.lendpassword, id});
      }
    }
    tx->Exec("INSERT INTO meta (name, value) VALUES ($1, '1')", {kSeededMark});
    return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::CreateAccount(const Account& account, std::string* error) {
  return Run(error, [&](Transaction* tx) {
    const int added = InsertAccount(tx, account, true);
    if (added < 0) return StoreStatus::kUnavailable;
    return added == 1 ? StoreStatus::kOk : StoreStatus::kConflict;
  });
}

StoreStatus PostgresStore::FindAccount(const std::string& username, Account* account, std::string* error) {
  const std::string sql = std::string("SELECT ") + kAccountColumns + " FROM accounts a WHERE a.username = $1";
  return Run(error, [&](Transaction* tx) {
    const Rows rows = tx->Sql(sql.c_str(), {username});
    if (tx->failed()) return StoreStatus::kUnavailable;
    if (rows.empty()) return StoreStatus::kNotFound;
    ReadAccount(rows, account);
    return StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::OpenSession(const SessionRecord& session, std::string* error) {
  return Run(error, [&](Transaction* tx) {
    if (tx->Sql("SELECT 1 FROM accounts WHERE username = $1", {session.username}).empty()) {
      return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kNotFound;
    }
    tx->Exec("DELETE FROM sessions WHERE username = $1", {session.username});
    tx->Exec("INSERT INTO sessions (username, token, machine_id, expires_at) VALUES ($1, $2, $3, $4)",
             {session.username, session.token, session.machineId, static_cast<long long>(session.expiresAt)});
    return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::CheckSession(const std::string& username, const std::string& token,
                                        std::int64_t now, Account* account, std::string* error) {
  if (token.empty()) return StoreStatus::kNotFound;
  const std::string sql = std::string("SELECT ") + kAccountColumns +
                          " FROM sessions s JOIN accounts a ON a.username = s.username"
                          " WHERE s.username = $1 AND s.token = $2 AND s.expires_at > $3";
  return Run(error, [&](Transaction* tx) {
    const Rows rows = tx->Sql(sql.c_str(), {username, token, static_cast<long long>(now)});
    if (tx->failed()) return StoreStatus::kUnavailable;
    if (rows.empty()) return StoreStatus::kNotFound;
    ReadAccount(rows, account);
    return StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::CloseSession(const std::string& username, const std::string& token,
                                        std::int64_t now, std::string* error) {
  return Run(error, [&](Transaction* tx) {
    if (!SessionLive(tx, username, token, now)) {
      return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kNotFound;
    }
    tx->Exec("DELETE FROM sessions WHERE username = $1", {username});
    EndLeases(tx, "SELECT credential_id FROM leases WHERE username = $1",
              "DELETE FROM leases WHERE username = $1", username);
    return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::RedeemCard(const std::string& username, const std::string& cardno,
                                      const std::string& cardpw, std::int64_t now, int* balance,
                                      std::string* error) {
  return Run(error, [&](Transaction* tx) {
    const Rows account = tx->Sql("SELECT moneyleft FROM accounts WHERE username = $1", {username});
    const Rows card = tx->Sql("SELECT cardpw, value, used_by FROM cards WHERE cardno = $1", {cardno});
    if (tx->failed()) return StoreStatus::kUnavailable;
    if (account.empty() || card.empty() || card.Text(0, 0) != cardpw) return StoreStatus::kNotFound;
    if (!card.IsNull(0, 2)) return StoreStatus::kConflict;
    const std::int64_t after = account.Int(0, 0) + card.Int(0, 1);
    if (after > INT_MAX) return StoreStatus::kRefused;
    tx->Exec("UPDATE cards SET used_by = $1, used_at = $2 WHERE cardno = $3",
             {username, static_cast<long long>(now), cardno});
    tx->Exec("UPDATE accounts SET moneyleft = $1 WHERE username = $2",
             {static_cast<long long>(after), username});
    if (tx->failed()) return StoreStatus::kUnavailable;
    *balance = static_cast<int>(after);
    return StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::AcquireLease(const std::string& sessionToken, std::int64_t now, LeaseRecord* lease,
                                        std::string* error) {
  return Run(error, [&](Transaction* tx) {
    if (!SessionLive(tx, lease->username, sessionToken, now)) {
      return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kNotFound;
    }
    if (!tx->Sql("SELECT 1 FROM leases WHERE token = $1", {lease->token}).empty())
      return StoreStatus::kConflict;
    // The server's own pool first, then the shared one. Two instances that
    // pick the same credential meet at leases.credential_id's UNIQUE
    // constraint or the serializable check; the loser runs again.
    for (const std::string& pool : {std::to_string(lease->serverId), std::string(kSharedPool)}) {
      const Rows free = tx->Sql(
          "SELECT c.id, c.lendusername, c.lendpassword FROM credentials c WHERE c.pool = $1"
          " AND NOT EXISTS (SELECT 1 FROM leases l WHERE l.credential_id = c.id)"
          " ORDER BY c.queue_pos, c.id LIMIT 1",
          {pool});
      if (tx->failed()) return StoreStatus::kUnavailable;
      if (free.empty()) continue;
      lease->pool = pool;
      lease->credential.lendusername = free.Text(0, 1);
      lease->credential.lendpassword = free.Text(0, 2);
      tx->Exec(
          "INSERT INTO leases (token, username, server_id, credential_id, last_handshake)"
          " VALUES ($1, $2, $3, $4, $5)",
          {lease->token, lease->username, lease->serverId, static_cast<long long>(free.Int(0, 0)),
           static_cast<long long>(lease->lastHandshake)});
      return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
    }
    return StoreStatus::kRefused;
  });
}

StoreStatus PostgresStore::FindLease(const std::string& token, LeaseRecord* lease, std::string* error) {
  return Run(error, [&](Transaction* tx) {
    const Rows rows = tx->Sql(
        "SELECT l.token, l.username, l.server_id, c.pool, c.lendusername, c.lendpassword, l.last_handshake"
        " FROM leases l JOIN credentials c ON c.id = l.credential_id WHERE l.token = $1",
        {token});
    if (tx->failed()) return StoreStatus::kUnavailable;
    if (rows.empty()) return StoreStatus::kNotFound;
    lease->token = rows.Text(0, 0);
    lease->username = rows.Text(0, 1);
    lease->serverId = static_cast<int>(rows.Int(0, 2));
    lease->pool = rows.Text(0, 3);
    lease->credential.lendusername = rows.Text(0, 4);
    lease->credential.lendpassword = rows.Text(0, 5);
    lease->lastHandshake = rows.Int(0, 6);
    return StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::TouchLease(const std::string& token, const std::string& username, std::int64_t now,
                                      std::string* error) {
  return Run(error, [&](Transaction* tx) {
    const int changed = tx->Exec("UPDATE leases SET last_handshake = $1 WHERE token = $2 AND username = $3",
                                 {static_cast<long long>(now), token, username});
    if (changed < 0) return StoreStatus::kUnavailable;
    return changed == 1 ? StoreStatus::kOk : StoreStatus::kNotFound;
  });
}

StoreStatus PostgresStore::ReleaseLease(const std::string& token, const std::string& username,
                                        std::string* error) {
  return Run(error, [&](Transaction* tx) {
    if (tx->Sql("SELECT 1 FROM leases WHERE token = $1 AND username = $2", {token, username}).empty()) {
      return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kNotFound;
    }
    EndLeases(tx, "SELECT credential_id FROM leases WHERE token = $1", "DELETE FROM leases WHERE token = $1",
              token);
    return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
  });
}

StoreStatus PostgresStore::ExpireLeases(std::int64_t silentSince, int* freed, std::string* error) {
  if (freed != nullptr) *freed = 0;
  int ended = 0;
  const StoreStatus status = Run(error, [&](Transaction* tx) {
    ended = 0;
    const long long since = silentSince;
    // Most calls find nothing to do: a read alone conflicts with no one.
    if (tx->Sql("SELECT 1 FROM leases WHERE last_handshake < $1 LIMIT 1", {since}).empty()) {
      return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
    }
    ended = EndLeases(tx, "SELECT credential_id FROM leases WHERE last_handshake < $1",
                      "DELETE FROM leases WHERE last_handshake < $1", since);
    return tx->failed() ? StoreStatus::kUnavailable : StoreStatus::kOk;
  });
  if (status == StoreStatus::kOk && freed != nullptr && ended > 0) *freed = ended;
  return status;
}

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error) {
  std::unique_ptr<PostgresStore> store(new PostgresStore(conninfo));
  std::string why;
  if (!store->Migrate(&why)) {
    *error = why;
    return nullptr;
  }
  return store;
}

}  // namespace devserver
