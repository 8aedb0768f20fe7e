// The store in an SQLite database: a file several instances share (WAL
// journal, busy time-out, write transactions that take the write lock at
// their start) or a private ":memory:" database.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "tools/devserver/store/Store.h"

struct sqlite3;

namespace devserver {

class SqliteStore final : public Store {
 public:
  // Opens or creates `path` (":memory:" for a private in-memory database),
  // then brings its schema up to date. Null with `error` set on failure,
  // including a database written by a newer build.
  static std::unique_ptr<SqliteStore> Open(const std::string& path, const StoreOptions& options,
                                           std::string* error);
  ~SqliteStore() override = default;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

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

  class Transaction;  // defined in SqliteStore.cpp

 private:
  struct Closer {
    void operator()(sqlite3* db) const;
  };
  using Handle = std::unique_ptr<sqlite3, Closer>;

  explicit SqliteStore(Handle db);
  template <typename Body>
  StoreStatus Run(bool write, std::string* error, Body body);

  std::mutex mutex_;  // one connection: one transaction at a time
  Handle db_;
};

}  // namespace devserver
