// The service on its store. Instances sharing one store, restarts and races
// settled by transactions run on every kind of store: an SQLite file, and
// PostgreSQL when PROXYHELPER_TEST_POSTGRES names a server (a libpq URI;
// scripts/ci-postgres.sh starts a private cluster and sets it; without it
// those cases are skipped). Each PostgreSQL case works in a schema of its
// own, dropped afterwards, so cases may run at once. Then, on one store: the
// cipher keys, the limits on input, lease expiry and the request log.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "support/TempDir.h"
#include "system/ProcessProbe.h"
#include "tools/devserver/ResultCodes.h"
#include "tools/devserver/store/Schema.h"
#include "tools/devserver/store/Store.h"

#if PROXYHELPER_DEVSERVER_POSTGRES
#include <libpq-fe.h>
#endif

namespace {

using devserver::AccountService;
using devserver::kResultBadCard;
using devserver::kResultBadLease;
using devserver::kResultBadRequest;
using devserver::kResultBadSession;
using devserver::kResultDuplicateAccount;
using devserver::kResultNoCredentials;
using devserver::Store;
using devserver::StoreStatus;
using devserver_test::ClientView;
using devserver_test::Fields;

class SharedStoreTest : public ::testing::Test {
 protected:
  SharedStoreTest() { devserver_test::InstallClientKeys(devserver_test::TestKeys()); }

  devserver::ServiceOptions Options(const std::string& store) {
    devserver::ServiceOptions options;
    options.store = store;
    options.keys = devserver_test::TestKeys();
    options.clock = [this] { return now_.load(); };
    return options;
  }
  std::string File() const { return dir_.path() + "/shared.db"; }

  std::unique_ptr<AccountService> Open(const devserver::ServiceOptions& options,
                                       const devserver::SeedData& seed = devserver_test::TestSeed()) {
    std::string error;
    auto service = AccountService::Open(seed, options, &error);
    EXPECT_NE(service, nullptr) << error;
    return service;
  }

  // The request as the client sends it, the reply as it reads it.
  static ClientView Call(AccountService& service, const std::string& script, const Fields& fields,
                         const std::string& peer = std::string(), int* status = nullptr) {
    const char letter = script == "getdailupinfo.php" ? 'A' : 'Z';
    const devserver::CipherKeys keys = devserver_test::TestKeys();
    const std::string* item = keys.ForLetter(letter);
    const devserver::HttpAnswer answer = service.Handle(
        script, devserver_test::RequestBody(devserver_test::FormText(fields), letter, item ? *item : ""),
        peer);
    if (status != nullptr) *status = answer.status;
    return devserver_test::ReadAsClient(answer.body);
  }
  static std::string SignIn(AccountService& service, const std::string& user, const std::string& password) {
    const ClientView view =
        Call(service, "loginin.php", {{"username", user}, {"password", password}, {"mid", "m"}});
    EXPECT_EQ(view.Result(), 0) << user;
    return view.Item("", "magic");
  }

  // The test seed with pool 101 (d101) alone: no shared pool behind it.
  static devserver::SeedData PoolOfOneSeed() {
    devserver::SeedData seed = devserver_test::TestSeed();
    seed.pools.erase(devserver::kSharedPool);
    return seed;
  }

  testsupport::TempDir dir_{"proxyhelper-store-"};
  std::atomic<std::int64_t> now_{1700000000};
};

enum class StoreKind { kSqliteFile, kPostgres };
// Names the case in test lists (and so in ctest's names).
void PrintTo(StoreKind kind, std::ostream* out) {
  *out << (kind == StoreKind::kPostgres ? "Postgres" : "SqliteFile");
}

#if PROXYHELPER_DEVSERVER_POSTGRES
// `conninfo` with `schema` first on the search path, in either syntax.
std::string WithSearchPath(const std::string& conninfo, const std::string& schema) {
  if (conninfo.rfind("postgres", 0) == 0 && conninfo.find("://") != std::string::npos) {
    return conninfo + (conninfo.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
           schema;
  }
  return conninfo + " options='-csearch_path=" + schema + "'";
}
#endif

// The first column of the first row of `sql` on the SQLite file at `path`,
// or "" (also for a command); "error: ..." when it failed.
std::string SqliteValue(const std::string& path, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
  sqlite3_busy_timeout(db.get(), 5000);
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement, nullptr);
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
  const int step = statement != nullptr ? sqlite3_step(statement) : SQLITE_ERROR;
  if (step == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
    return reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  return step == SQLITE_ROW || step == SQLITE_DONE ? "" : std::string("error: ") + sqlite3_errmsg(db.get());
}

// Runs call(0), ..., call(callers - 1) on as many threads, started together;
// what each returned.
std::vector<int> RunTogether(int callers, const std::function<int(int caller)>& call) {
  std::vector<int> results(callers, -1);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int caller = 0; caller < callers; ++caller) {
    threads.emplace_back([&, caller] {
      ++ready;
      while (ready.load() < callers) std::this_thread::yield();
      results[caller] = call(caller);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return results;
}

// The same scenarios on every kind of store, each on an empty database of
// its own.
class SharedStoreKindTest : public SharedStoreTest, public ::testing::WithParamInterface<StoreKind> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    if (GetParam() == StoreKind::kSqliteFile) {
      Reset();
      return;
    }
#if PROXYHELPER_DEVSERVER_POSTGRES
    const char* server = std::getenv("PROXYHELPER_TEST_POSTGRES");
    if (server == nullptr || *server == '\0') GTEST_SKIP() << "PROXYHELPER_TEST_POSTGRES is not set";
    admin_.reset(PQconnectdb(server));
    ASSERT_EQ(PQstatus(admin_.get()), CONNECTION_OK) << PQerrorMessage(admin_.get());
    PQsetNoticeProcessor(admin_.get(), [](void*, const char*){}, nullptr);
    std::random_device random;
    const std::string schema = "phtest_" + std::to_string(random()) + "_" + std::to_string(random());
    ASSERT_EQ(AdminSql("CREATE SCHEMA " + schema), "");
    schema_ = schema;
    database_ = WithSearchPath(server, schema_);
#endif
  }
  void TearDown() override {
#if PROXYHELPER_DEVSERVER_POSTGRES
    if (admin_ && !schema_.empty()) AdminSql("DROP SCHEMA " + schema_ + " CASCADE");
#endif
  }

  // The test's database as OpenStore and ServiceOptions::store take it.
  const std::string& Database() const { return database_; }

  // An empty database in place of the test's one; nothing may hold it open.
  void Reset() {
    if (GetParam() == StoreKind::kSqliteFile) {
      database_ = dir_.path() + "/store" + std::to_string(++generation_) + ".db";
    } else {
      ASSERT_EQ(Sql("DROP SCHEMA " + schema_ + " CASCADE; CREATE SCHEMA " + schema_), "");
    }
  }

  // Runs `sql` on the test's database: the first column of the first row,
  // or "" (also for a command); "error: ..." when it failed.
  std::string Sql(const std::string& sql) {
    if (GetParam() == StoreKind::kSqliteFile) return SqliteValue(database_, sql);
    return AdminSql("SET search_path TO " + schema_ + "; " + sql);
  }

  std::unique_ptr<Store> OpenStore() {
    std::string error;
    std::unique_ptr<Store> store = devserver::OpenStore(database_, devserver::StoreOptions(), &error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
  std::unique_ptr<AccountService> Instance(const devserver::SeedData& seed = devserver_test::TestSeed()) {
    return Open(Options(database_), seed);
  }

 private:
  std::string AdminSql(const std::string& sql) {
#if PROXYHELPER_DEVSERVER_POSTGRES
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(admin_.get(), sql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_TUPLES_OK) return PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : "";
    if (status == PGRES_COMMAND_OK) return "";
    return std::string("error: ") + PQresultErrorMessage(result.get());
#else
    return "error: built without PostgreSQL: " + sql;
#endif
  }

  std::string database_;
  int generation_ = 0;  // SQLite: the file's number
  std::string schema_;  // PostgreSQL: the test's own
#if PROXYHELPER_DEVSERVER_POSTGRES
  std::unique_ptr<PGconn, void (*)(PGconn*)> admin_{nullptr, PQfinish};
#endif
};

INSTANTIATE_TEST_SUITE_P(SqliteFile, SharedStoreKindTest, ::testing::Values(StoreKind::kSqliteFile));
#if PROXYHELPER_DEVSERVER_POSTGRES
// "Postgres" in every name: scripts/ci-postgres.sh picks these cases by it.
INSTANTIATE_TEST_SUITE_P(Postgres, SharedStoreKindTest, ::testing::Values(StoreKind::kPostgres));
#endif

// ---- The store's own methods, over two instances -----------------------------

TEST_P(SharedStoreKindTest, StateOutlivesTheInstanceAndTheSchemaIsMigratedOnce) {
  // Instances opening the fresh database at once all start.
  const std::vector<int> opened = RunTogether(4, [this](int) {
    std::string error;
    return devserver::OpenStore(Database(), devserver::StoreOptions(), &error) != nullptr ? 1 : 0;
  });
  EXPECT_EQ(std::count(opened.begin(), opened.end(), 1), 4);
  {
    std::unique_ptr<Store> store = OpenStore();
    ASSERT_NE(store, nullptr);
    ASSERT_EQ(store->ImportSeed(PoolOfOneSeed(), nullptr), StoreStatus::kOk);
    int balance = 0;
    ASSERT_EQ(store->RedeemCard("alice", "C1", "p1", 100, &balance, nullptr), StoreStatus::kOk);
    ASSERT_EQ(balance, 60);
  }
  {
    // Reopened: the schema is current, the data there, the seed not taken again.
    std::unique_ptr<Store> store = OpenStore();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->ImportSeed(PoolOfOneSeed(), nullptr), StoreStatus::kConflict);
    devserver::Account alice;
    ASSERT_EQ(store->FindAccount("alice", &alice, nullptr), StoreStatus::kOk);
    EXPECT_EQ(alice.moneyleft, 60);
    int balance = 0;
    EXPECT_EQ(store->RedeemCard("alice", "C1", "p1", 101, &balance, nullptr), StoreStatus::kConflict);
  }
  EXPECT_EQ(Sql("SELECT MAX(version) FROM schema_version"), std::to_string(devserver::LatestStoreVersion()));
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM schema_version"), std::to_string(devserver::StoreMigrations().size()));
  // A newer build's database is refused.
  ASSERT_EQ(Sql("INSERT INTO schema_version (version) VALUES (" +
                std::to_string(devserver::LatestStoreVersion() + 1) + ")"),
            "");
  std::string error;
  EXPECT_EQ(devserver::OpenStore(Database(), devserver::StoreOptions(), &error), nullptr);
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
}

TEST_P(SharedStoreKindTest, AReleasedCredentialGoesToTheBackOfItsPool) {
  std::unique_ptr<Store> a = OpenStore();
  std::unique_ptr<Store> b = OpenStore();
  ASSERT_TRUE(a && b);
  devserver::SeedData seed = PoolOfOneSeed();
  seed.pools["101"].push_back({"d101b", "p101b"});
  ASSERT_EQ(a->ImportSeed(seed, nullptr), StoreStatus::kOk);
  ASSERT_EQ(a->OpenSession({"alice", "magic", "", 1000}, nullptr), StoreStatus::kOk);
  devserver::LeaseRecord first = devserver_test::LeaseFor("t1", "alice", 101, 0);
  ASSERT_EQ(a->AcquireLease("magic", 100, &first, nullptr), StoreStatus::kOk);
  EXPECT_EQ(first.credential.lendusername, "d101");
  EXPECT_EQ(b->ReleaseLease("t1", "alice", nullptr), StoreStatus::kOk);
  EXPECT_EQ(b->ReleaseLease("t1", "alice", nullptr), StoreStatus::kNotFound);
  devserver::LeaseRecord second = first;
  second.token = "t2";
  ASSERT_EQ(b->AcquireLease("magic", 100, &second, nullptr), StoreStatus::kOk);
  EXPECT_EQ(second.credential.lendusername, "d101b");
  EXPECT_EQ(second.pool, "101");
}

// ---- The service, two instances in one process on one store -----------------

TEST_P(SharedStoreKindTest, OneAccountAcrossTwoInstances) {
  std::unique_ptr<AccountService> instances[] = {Instance(), Instance()};
  ASSERT_TRUE(instances[0] && instances[1]);
  // "$name" values are replaced by what an earlier step captured.
  struct Step {
    int instance;
    const char* script;
    Fields fields;
    int result;
    const char* capture = nullptr;  // reply item kept as "$<item>"
  };
  const Fields session = {{"username", "carol"}, {"magic", "$magic"}};
  const auto with = [&session](Fields extra) {
    extra.insert(session.begin(), session.end());
    return extra;
  };
  const Fields server = with({{"vpnserverid", "101"}});
  const Fields lease = with({{"dailsession", "$dailsession"}, {"result", "0"}});
  const Step steps[] = {
      {0, "register.php", {{"username", "carol"}, {"password", "c-pw"}}, 0},
      {1, "register.php", {{"username", "carol"}, {"password", "other"}}, kResultDuplicateAccount},
      {1, "loginin.php", {{"username", "carol"}, {"password", "c-pw"}, {"mid", "m1"}}, 0, "magic"},
      {0, "getdailupinfo.php", server, 0, "dailsession"},
      {0, "getdailupinfo.php", server, 0},  // the shared pool
      {1, "getdailupinfo.php", server, kResultNoCredentials},
      {1, "verification.php",
       with({{"dailsession", "$dailsession"}, {"lendusername", "d101"}, {"vpnserverid", "101"}}), 0},
      {0, "releasedialupinfo.php", lease, 0},
      {1, "releasedialupinfo.php", lease, kResultBadLease},
      {1, "getdailupinfo.php", server, 0},  // d101 is back
      {1, "logout.php", session, 0},
      {0, "getuserinfo.php", session, kResultBadSession},
      {0, "loginin.php", {{"username", "alice"}, {"password", "a-pw"}}, 0, "magic"},
      {1, "getdailupinfo.php", {{"username", "alice"}, {"magic", "$magic"}, {"vpnserverid", "201"}}, 0},
  };
  std::map<std::string, std::string> captured;
  for (const Step& step : steps) {
    Fields fields = step.fields;
    for (auto& field : fields) {
      if (!field.second.empty() && field.second[0] == '$') field.second = captured[field.second.substr(1)];
    }
    SCOPED_TRACE(std::string(step.script) + " on instance " + std::to_string(step.instance));
    const ClientView view = Call(*instances[step.instance], step.script, fields);
    ASSERT_EQ(view.Result(), step.result) << view.Item("", "errdesc");
    if (step.capture != nullptr) captured[step.capture] = view.Item("", step.capture);
  }
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM leases WHERE username = 'carol'"), "0") << "freed by the sign-out";
}

TEST_P(SharedStoreKindTest, RestartKeepsAccountsBalancesAndUsedCardsButNotTheSeed) {
  const auto recharge = [](AccountService& service, const char* card, const char* password) {
    return Call(service, "recharge.php",
                {{"username", "dave"}, {"password", "d-pw"}, {"cardno", card}, {"cardpw", password}});
  };
  {
    auto first = Instance();
    ASSERT_TRUE(first);
    EXPECT_EQ(Call(*first, "register.php", {{"username", "dave"}, {"password", "d-pw"}}).Result(), 0);
    const ClientView credited = recharge(*first, "C1", "p1");
    ASSERT_EQ(credited.Result(), 0);
    EXPECT_EQ(credited.Item("", "moneyleft"), "55");  // new accounts start with 5
  }
  // A different seed: a seeded store must not take any of it.
  devserver::SeedData changed = devserver_test::TestSeed();
  changed.accounts[0].moneyleft = 999;
  changed.cards.push_back(devserver::PrepaidCard{"C9", "p9", 9});
  auto second = Instance(changed);
  ASSERT_TRUE(second);
  for (const auto& kept : {std::array<const char*, 3>{"dave", "d-pw", "55"}, {"alice", "a-pw", "10"}}) {
    const Fields session = {{"username", kept[0]}, {"magic", SignIn(*second, kept[0], kept[1])}};
    EXPECT_EQ(Call(*second, "getuserinfo.php", session).Item("userinfo", "moneyleft"), kept[2]) << kept[0];
  }
  EXPECT_EQ(recharge(*second, "C1", "p1").Result(), kResultBadCard);
  EXPECT_EQ(recharge(*second, "C9", "p9").Result(), kResultBadCard);
}

// Callers split over two instances at once, started together: exactly one
// wins (kOk, or result 0) and every other caller gets `loser`. The store's
// methods over two Store instances, then requests over two services.
TEST_P(SharedStoreKindTest, RacesOverTwoInstancesHaveOneWinner) {
  std::unique_ptr<Store> stores[2];
  std::unique_ptr<AccountService> services[2];
  Fields alice;  // her session, opened on services[1]
  const auto request = [&services, &alice](const char* script, const Fields& fields, bool signedIn) {
    return [&services, &alice, script, fields, signedIn](int caller) {
      Fields sent = fields;
      if (signedIn) sent.insert(alice.begin(), alice.end());
      return Call(*services[caller % 2], script, sent).Result();
    };
  };
  const auto sql = [this](const char* query) { return [this, query] { return Sql(query); }; };
  const int conflict = static_cast<int>(StoreStatus::kConflict);
  struct Race {
    const char* name;
    bool throughServices;
    int callers;
    std::function<int(int caller)> call;
    int loser;
    std::function<std::string()> after;  // the state afterwards
    const char* expected;
  };
  const Race races[] = {
      {"a card redeemed by every caller", false, 16,
       [&stores](int caller) {
         int balance = 0;
         return static_cast<int>(stores[caller % 2]->RedeemCard("alice", "C1", "p1", 100, &balance, nullptr));
       },
       conflict, sql("SELECT moneyleft FROM accounts WHERE username = 'alice'"), "60"},
      {"a pool of one credential", false, 16,
       [&stores](int caller) {
         devserver::LeaseRecord lease =
             devserver_test::LeaseFor("l" + std::to_string(caller), "alice", 101, 100);
         return static_cast<int>(stores[caller % 2]->AcquireLease("magic", 100, &lease, nullptr));
       },
       static_cast<int>(StoreStatus::kRefused), sql("SELECT COUNT(*) FROM leases"), "1"},
      {"one user name registered by every caller", false, 16,
       [&stores](int caller) {
         const devserver::Account carol = devserver_test::NewAccount("carol", "pw-" + std::to_string(caller));
         return static_cast<int>(stores[caller % 2]->CreateAccount(carol, nullptr));
       },
       conflict, sql("SELECT COUNT(*) FROM accounts WHERE username = 'carol'"), "1"},
      {"one card, 16 clients", true, 16,
       request("recharge.php",
               {{"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}, {"cardpw", "p1"}}, false),
       kResultBadCard,
       [&] {
         // In the database, and as the other instance tells it.
         return Sql("SELECT moneyleft FROM accounts WHERE username = 'alice'") + " " +
                Call(*services[0], "getuserinfo.php", alice).Item("userinfo", "moneyleft");
       },
       "60 60"},
      {"a pool of one credential, 8 clients", true, 8,
       request("getdailupinfo.php", {{"vpnserverid", "101"}}, true), kResultNoCredentials,
       sql("SELECT COUNT(*) FROM leases"), "1"},
  };
  // Several rounds: one round of a lost update does not always interleave.
  for (int round = 0; round < 5; ++round) {
    for (const Race& race : races) {
      SCOPED_TRACE(std::string(race.name) + ", round " + std::to_string(round));
      for (int i = 0; i < 2; ++i) {
        stores[i].reset();
        services[i].reset();
      }
      Reset();
      if (race.throughServices) {
        services[0] = Instance(PoolOfOneSeed());
        services[1] = Instance(PoolOfOneSeed());
        ASSERT_TRUE(services[0] && services[1]);
        alice = {{"username", "alice"}, {"magic", SignIn(*services[1], "alice", "a-pw")}};
      } else {
        stores[0] = OpenStore();
        stores[1] = OpenStore();
        ASSERT_TRUE(stores[0] && stores[1]);
        ASSERT_EQ(stores[0]->ImportSeed(PoolOfOneSeed(), nullptr), StoreStatus::kOk);
        ASSERT_EQ(stores[1]->OpenSession({"alice", "magic", "", 1000}, nullptr), StoreStatus::kOk);
      }
      const std::vector<int> results = RunTogether(race.callers, race.call);
      EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1);
      EXPECT_EQ(std::count(results.begin(), results.end(), race.loser), race.callers - 1);
      EXPECT_EQ(race.after(), race.expected);
    }
  }
}

TEST_P(SharedStoreKindTest, KeysThatDifferFromTheStoredOnesRefuseToStart) {
  auto first = Instance();
  ASSERT_TRUE(first);
  devserver::ServiceOptions other = Options(Database());
  other.keys.m2 = "another-key";
  std::string error;
  EXPECT_EQ(AccountService::Open(devserver_test::TestSeed(), other, &error), nullptr);
  EXPECT_NE(error.find("cipher keys given differ"), std::string::npos) << error;
  // Without keys of its own an instance takes the stored ones.
  other.keysFromStore = true;
  auto adopted = Open(other);
  ASSERT_TRUE(adopted);
  EXPECT_EQ(adopted->keys().m2, devserver_test::TestKeys().m2);
}

// ---- One store ------------------------------------------------------------------

TEST_F(SharedStoreTest, AStoreThatCannotOpenAnswers503) {
  ASSERT_TRUE(dir_.ok());
  const std::string specs[] = {dir_.path() + "/no/such/folder/x.db",
                               dir_.Write("text.db", "not a database at all")};
  for (const std::string& spec : specs) {
    SCOPED_TRACE(spec);
    AccountService service(devserver_test::TestSeed(), Options(spec));
    EXPECT_FALSE(service.ok());
    EXPECT_FALSE(service.Healthy());
    EXPECT_NE(service.error().find(spec), std::string::npos) << service.error();
    int status = 0;
    Call(service, "loginin.php", {{"username", "alice"}, {"password", "a-pw"}}, "", &status);
    EXPECT_EQ(status, 503);
  }
#if !PROXYHELPER_DEVSERVER_POSTGRES
  AccountService postgres(devserver_test::TestSeed(), Options("postgresql://127.0.0.1/devserver"));
  EXPECT_NE(postgres.error().find("without PostgreSQL"), std::string::npos) << postgres.error();
#endif
  AccountService memory(devserver_test::TestSeed(), Options(":memory:"));
  EXPECT_TRUE(memory.Healthy());
}

TEST_F(SharedStoreTest, OverLongFieldsAreBadRequests) {
  devserver::ServiceOptions options = Options(":memory:");
  devserver::ServiceOptions strict = options;
  strict.maxName = 4;
  std::unique_ptr<AccountService> services[] = {Open(options), Open(strict)};
  ASSERT_TRUE(services[0] && services[1]);
  struct Case {
    const char* script;
    const char* field;
    std::size_t length;
    int result;           // with the other fields valid
    bool strict = false;  // under maxName = 4
  };
  const Case cases[] = {
      {"register.php", "username", 64, 0},
      {"register.php", "username", 65, kResultBadRequest},
      {"register.php", "password", 128, kResultDuplicateAccount},
      {"register.php", "password", 129, kResultBadRequest},
      {"recharge.php", "cardpw", 129, kResultBadRequest},
      {"recharge.php", "cardpw", 128, kResultBadCard},
      {"recharge.php", "cardno", 256, kResultBadCard},
      {"recharge.php", "cardno", 257, kResultBadRequest},
      {"loginin.php", "mid", 257, kResultBadRequest},
      {"loginin.php", "agent", 256, 0},
      {"register.php", "username", 4, 0, true},
      {"register.php", "username", 5, kResultBadRequest, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.script) + " " + c.field + " " + std::to_string(c.length));
    Fields fields = {
        {"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}, {"cardpw", "x"}, {"mid", "m"}};
    fields[c.field] = std::string(c.length, 'v');
    const ClientView view = Call(*services[c.strict ? 1 : 0], c.script, fields);
    EXPECT_EQ(view.Result(), c.result) << view.Item("", "errdesc");
    if (c.result == kResultBadRequest) {
      EXPECT_EQ(view.Item("", "errdesc"), "bad field: " + std::string(c.field) + " is too long (over " +
                                              std::to_string(c.length - 1) + " bytes)");
    }
  }
}

TEST_F(SharedStoreTest, RegistrationsAreLimitedPerPeerAndMinute) {
  devserver::ServiceOptions options = Options(":memory:");
  options.registerRate = 3;
  auto service = Open(options);
  ASSERT_TRUE(service);
  int counter = 0;
  const auto attempt = [&](const std::string& peer) {
    int status = 0;
    Call(*service, "register.php", {{"username", "user" + std::to_string(++counter)}, {"password", "p"}},
         peer, &status);
    return status;
  };
  // Each row: seconds to move the clock, peer, the statuses of its attempts.
  struct Row {
    int advance;
    const char* peer;
    std::vector<int> statuses;
  };
  const Row rows[] = {
      {0, "127.0.0.5", {200, 200, 200, 429, 429}},
      {0, "127.0.0.6", {200}},
      {0, "", {200, 200, 200, 200}},  // no peer: not limited
      {59, "127.0.0.5", {429}},
      {1, "127.0.0.5", {200, 200, 200, 429}},
  };
  for (const Row& row : rows) {
    now_ += row.advance;
    for (std::size_t i = 0; i < row.statuses.size(); ++i) {
      SCOPED_TRACE(std::string(row.peer) + " attempt " + std::to_string(i));
      EXPECT_EQ(attempt(row.peer), row.statuses[i]);
    }
  }
}

TEST_F(SharedStoreTest, ALeaseEndsAfterThreeMissedHeartbeats) {
  devserver::SeedData seed = devserver_test::TestSeed();  // heartbeat_slot=45
  seed.pools.erase(devserver::kSharedPool);
  auto service = Open(Options(":memory:"), seed);
  ASSERT_TRUE(service);
  const Fields alice = {{"username", "alice"}, {"magic", SignIn(*service, "alice", "a-pw")}};
  const Fields bob = {{"username", "bob"}, {"magic", SignIn(*service, "bob", "b-pw")}};
  const auto lease = [&](Fields session) {
    session["vpnserverid"] = "101";
    return Call(*service, "getdailupinfo.php", session);
  };
  const ClientView held = lease(alice);
  ASSERT_EQ(held.Result(), 0);
  Fields handshake = alice;
  handshake.insert(
      {{"dailsession", held.Item("", "dailsession")}, {"lendusername", "d101"}, {"vpnserverid", "101"}});
  struct Step {
    int advance;
    bool aliceHandshakes;
    int bobResult;
  };
  const Step steps[] = {
      {135, false, kResultNoCredentials},  // 3 x 45 s exactly: still held
      {0, true, kResultNoCredentials},     // the handshake restarts the count
      {135, false, kResultNoCredentials},
      {1, false, 0},  // silent for longer: d101 goes to bob
  };
  for (const Step& step : steps) {
    now_ += step.advance;
    if (step.aliceHandshakes) {
      ASSERT_EQ(Call(*service, "verification.php", handshake).Result(), 0);
    }
    EXPECT_EQ(lease(bob).Result(), step.bobResult);
  }
  EXPECT_EQ(Call(*service, "verification.php", handshake).Result(), kResultBadLease);
}

TEST_F(SharedStoreTest, JsonLogIsOneObjectPerLineWithSecretsMasked) {
  std::vector<std::string> lines;
  std::mutex mutex;
  devserver::ServiceOptions options = Options(":memory:");
  options.logFormat = devserver::LogFormat::kJson;
  options.log = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  };
  auto service = Open(options);
  ASSERT_TRUE(service);
  Call(*service, "loginin.php", {{"username", "al\"i\\c\xc3\xa9\xff"}, {"password", "secret"}}, "127.0.0.1");
  service->Handle("no\x01such.php", "", "::1");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[0],
      "{\"time\":\"2023-11-14T22:13:20Z\",\"peer\":\"127.0.0.1\",\"script\":\"loginin.php\",\"letter\":\"Z\","
      "\"fields\":{\"password\":\"***\",\"username\":\"al\\\"i\\\\c\xc3\xa9\xef\xbf\xbd\"},"
      "\"outcome\":\"result=2: refused by the service\"}");
  EXPECT_EQ(
      lines[1],
      "{\"time\":\"2023-11-14T22:13:20Z\",\"peer\":\"::1\",\"script\":\"no\\u0001such.php\",\"letter\":\"-\","
      "\"outcome\":\"http status 404\"}");
}

// The figures for the report: bytes of store file and of process memory per
// account, with every field at its longest.
std::size_t FileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}
TEST_F(SharedStoreTest, TenThousandLongestRegistrationsCostBoundedSpace) {
  ASSERT_TRUE(dir_.ok());
  auto service = Open(Options(File()));
  ASSERT_TRUE(service);
  constexpr int kAccounts = 10000;
  const long memoryBefore = reliability::ResidentKiB();
  for (int i = 0; i < kAccounts; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 64 - name.size(), 'u');
    const int result =
        Call(*service, "register.php",
             {{"username", name}, {"password", std::string(128, 'p')}, {"agent", std::string(256, 'a')}})
            .Result();
    ASSERT_EQ(result, 0) << i;
  }
  const double memoryPerAccount =
      1024.0 * static_cast<double>(std::max(0L, reliability::ResidentKiB() - memoryBefore)) / kAccounts;
  service.reset();  // the last connection folds the journal into the file
  EXPECT_EQ(FileSize(File() + "-wal"), 0u);
  const double filePerAccount = static_cast<double>(FileSize(File())) / kAccounts;
  std::printf("store file: %.0f bytes per account; resident memory: %.0f bytes per account\n", filePerAccount,
              memoryPerAccount);
  // Name and password are 192 bytes; an index entry repeats the name.
  EXPECT_LT(filePerAccount, 1024.0);
  // AddressSanitizer keeps freed memory resident (its quarantine): the
  // process's growth says nothing about the accounts there.
  if (!PROXYHELPER_TEST_UNDER_ASAN) {
    EXPECT_LT(memoryPerAccount, 1024.0) << "the accounts must live in the store, not in memory";
  }
}

}  // namespace
