// The SQLite store's contract, method by method, and the cipher keys it
// keeps. Migrations and reopened files: SharedStoreTest.cpp, with PostgreSQL.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "tools/devserver/store/SqliteStore.h"

namespace {

using devserver::StoreStatus;
using devserver_test::LeaseFor;
using devserver_test::NewAccount;

// A store in memory, given the test seed.
std::unique_ptr<devserver::Store> Seeded() {
  std::string error;
  auto store = devserver::OpenStore(":memory:", devserver::StoreOptions(), &error);
  EXPECT_NE(store, nullptr) << error;
  if (store != nullptr) {
    EXPECT_EQ(store->ImportSeed(devserver_test::TestSeed(), &error), StoreStatus::kOk) << error;
  }
  return store;
}

TEST(SqliteStoreTest, EveryMethodAnswersAsItsContractSays) {
  auto store = Seeded();
  ASSERT_TRUE(store);
  devserver::Store& s = *store;
  int balance = 0;
  devserver::Account account;
  devserver::LeaseRecord lease;
  std::string pool;
  const auto acquire = [&](const std::string& token, const std::string& user, const std::string& magic) {
    lease = LeaseFor(token, user, 101, 100);
    const StoreStatus status = s.AcquireLease(magic, 100, &lease, nullptr);
    pool = lease.credential.lendusername;
    return status;
  };
  // In order: each row may rely on the rows before it.
  struct Row {
    const char* what;
    std::function<StoreStatus()> call;
    StoreStatus expected;
  };
  const std::vector<Row> rows = {
      {"seed twice", [&] { return s.ImportSeed(devserver_test::TestSeed(), nullptr); },
       StoreStatus::kConflict},
      {"account taken", [&] { return s.CreateAccount(NewAccount("alice", "x"), nullptr); },
       StoreStatus::kConflict},
      {"account added", [&] { return s.CreateAccount(NewAccount("carol", "c-pw"), nullptr); },
       StoreStatus::kOk},
      {"account unknown", [&] { return s.FindAccount("nobody", &account, nullptr); }, StoreStatus::kNotFound},
      {"session for no account",
       [&] {
         return s.OpenSession({"nobody", "t", "m", 200}, nullptr);
       },
       StoreStatus::kNotFound},
      {"session opened",
       [&] {
         return s.OpenSession({"alice", "t1", "m", 200}, nullptr);
       },
       StoreStatus::kOk},
      {"session live", [&] { return s.CheckSession("alice", "t1", 199, &account, nullptr); },
       StoreStatus::kOk},
      {"session expired", [&] { return s.CheckSession("alice", "t1", 200, &account, nullptr); },
       StoreStatus::kNotFound},
      {"empty token", [&] { return s.CheckSession("alice", "", 0, &account, nullptr); },
       StoreStatus::kNotFound},
      {"session replaced",
       [&] {
         return s.OpenSession({"alice", "t2", "m", 200}, nullptr);
       },
       StoreStatus::kOk},
      {"old token", [&] { return s.CheckSession("alice", "t1", 100, &account, nullptr); },
       StoreStatus::kNotFound},
      {"wrong card password", [&] { return s.RedeemCard("alice", "C1", "no", 1, &balance, nullptr); },
       StoreStatus::kNotFound},
      {"unknown card", [&] { return s.RedeemCard("alice", "C7", "p1", 1, &balance, nullptr); },
       StoreStatus::kNotFound},
      {"card credited", [&] { return s.RedeemCard("alice", "C1", "p1", 1, &balance, nullptr); },
       StoreStatus::kOk},
      {"card used", [&] { return s.RedeemCard("bob", "C1", "p1", 1, &balance, nullptr); },
       StoreStatus::kConflict},
      {"balance overflow", [&] { return s.RedeemCard("alice", "BIG", "pbig", 1, &balance, nullptr); },
       StoreStatus::kRefused},
      {"lease without session", [&] { return acquire("L0", "bob", "t2"); }, StoreStatus::kNotFound},
      {"lease from the server's pool", [&] { return acquire("L1", "alice", "t2"); }, StoreStatus::kOk},
      {"token reused", [&] { return acquire("L1", "alice", "t2"); }, StoreStatus::kConflict},
      {"lease from the shared pool", [&] { return acquire("L2", "alice", "t2"); }, StoreStatus::kOk},
      {"pools empty", [&] { return acquire("L3", "alice", "t2"); }, StoreStatus::kRefused},
      {"touch by another user", [&] { return s.TouchLease("L1", "bob", 150, nullptr); },
       StoreStatus::kNotFound},
      {"touch", [&] { return s.TouchLease("L1", "alice", 150, nullptr); }, StoreStatus::kOk},
      {"release by another user", [&] { return s.ReleaseLease("L1", "bob", nullptr); },
       StoreStatus::kNotFound},
      {"expire the silent one", [&] { return s.ExpireLeases(120, nullptr, nullptr); }, StoreStatus::kOk},
      {"expired lease gone", [&] { return s.FindLease("L2", &lease, nullptr); }, StoreStatus::kNotFound},
      {"touched lease kept", [&] { return s.FindLease("L1", &lease, nullptr); }, StoreStatus::kOk},
      {"shared credential back", [&] { return acquire("L4", "alice", "t2"); }, StoreStatus::kOk},
      {"sign-out with old token", [&] { return s.CloseSession("alice", "t1", 100, nullptr); },
       StoreStatus::kNotFound},
      {"sign-out", [&] { return s.CloseSession("alice", "t2", 100, nullptr); }, StoreStatus::kOk},
      {"leases freed with it", [&] { return s.FindLease("L1", &lease, nullptr); }, StoreStatus::kNotFound},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(devserver::StoreStatusName(row.call()), devserver::StoreStatusName(row.expected)) << row.what;
  }
  EXPECT_EQ(balance, 60);
  ASSERT_EQ(s.FindAccount("alice", &account, nullptr), StoreStatus::kOk);
  EXPECT_EQ(account.moneyleft, 60) << "the refused card left the balance alone";
  EXPECT_EQ(pool, "dsh");
  // Freed by the sign-out, d101 is lent again.
  ASSERT_EQ(s.OpenSession({"bob", "b", "m", 900}, nullptr), StoreStatus::kOk);
  lease = LeaseFor("L5", "bob", 101, 100);
  ASSERT_EQ(s.AcquireLease("b", 100, &lease, nullptr), StoreStatus::kOk);
  EXPECT_EQ(lease.credential.lendusername, "d101");
  EXPECT_EQ(lease.pool, "101");
}

TEST(SqliteStoreTest, KeysAreStoredOnceAndCompared) {
  auto store = Seeded();
  ASSERT_TRUE(store);
  const devserver::CipherKeys keys = devserver_test::TestKeys();
  devserver::CipherKeys other = keys;
  other.m3 = "changed";
  devserver::CipherKeys inUse;
  EXPECT_EQ(store->SettleKeys(keys, false, &inUse, nullptr), StoreStatus::kOk);
  EXPECT_EQ(store->SettleKeys(other, false, &inUse, nullptr), StoreStatus::kConflict);
  EXPECT_EQ(store->SettleKeys(other, true, &inUse, nullptr), StoreStatus::kOk);
  EXPECT_EQ(inUse.m3, keys.m3);
}

}  // namespace
