// Where the account service keeps everything it knows: accounts, cards and
// their use, sessions, leases, credential pools and the cipher keys. One
// interface, one implementation per database (SqliteStore, PostgresStore).
//
// Contract shared by every method:
// - each call is one transaction: it happens whole or not at all, and two
//   calls racing (threads of one instance, or instances sharing the
//   database) behave as if run one after the other;
// - no exception leaves a method except std::bad_alloc;
// - kUnavailable means the database failed (I/O, locked past the busy
//   time-out, gone); `error`, when not null, then says why and nothing was
//   changed;
// - times are whole seconds since the Unix epoch, passed in by the caller,
//   so tests choose the clock.
// A Store may be called from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/devserver/CipherKeys.h"
#include "tools/devserver/Seed.h"

namespace devserver {

enum class StoreStatus {
  kOk,
  kNotFound,     // no such row, or the token/password given does not match
  kConflict,     // the row exists already, is taken, or is used up
  kRefused,      // a rule of the method refused it (see the method)
  kUnavailable,  // the database failed; nothing changed
};

const char* StoreStatusName(StoreStatus status);

struct SessionRecord {
  std::string username;
  std::string token;      // "magic"
  std::string machineId;  // "mid" at sign-in; may be empty
  std::int64_t expiresAt = 0;
};

struct LeaseRecord {
  std::string token;  // "dailsession"
  std::string username;
  int serverId = 0;
  std::string pool;  // a server id in decimal, or kSharedPool
  Credential credential;
  std::int64_t lastHandshake = 0;
};

class Store {
 public:
  virtual ~Store() = default;

  // True when a trivial query succeeds.
  virtual bool Ping() = 0;

  // Settles the cipher keys of the deployment. No keys stored: stores
  // `offered`, kOk. Keys stored: with `adoptStored`, kOk; otherwise kOk if
  // they equal `offered`, else kConflict (nothing changed). On kOk `inUse`
  // receives the stored keys.
  virtual StoreStatus SettleKeys(const CipherKeys& offered, bool adoptStored, CipherKeys* inUse,
                                 std::string* error) = 0;

  // Imports the seed's accounts, cards and credential pools (in seed order)
  // into a store that was never seeded, and marks it seeded: kOk. A store
  // seeded before: kConflict, nothing changed.
  virtual StoreStatus ImportSeed(const SeedData& seed, std::string* error) = 0;

  // Adds an account: kOk; the name is taken: kConflict.
  virtual StoreStatus CreateAccount(const Account& account, std::string* error) = 0;

  // kOk with `account` filled, or kNotFound.
  virtual StoreStatus FindAccount(const std::string& username, Account* account, std::string* error) = 0;

  // Starts the account's session, replacing any earlier one (one session per
  // account): kOk; no such account: kNotFound.
  virtual StoreStatus OpenSession(const SessionRecord& session, std::string* error) = 0;

  // kOk with `account` filled when `username` has a session with `token`
  // expiring after `now`; otherwise kNotFound. An empty token never matches.
  virtual StoreStatus CheckSession(const std::string& username, const std::string& token, std::int64_t now,
                                   Account* account, std::string* error) = 0;

  // Ends the live session (as CheckSession) and frees every lease of the
  // account, returning the credentials to their pools: kOk; else kNotFound.
  virtual StoreStatus CloseSession(const std::string& username, const std::string& token, std::int64_t now,
                                   std::string* error) = 0;

  // Credits the card's value to the account and marks the card used, once:
  // kOk with `balance` the new balance. No such account or card, or a
  // wrong card password: kNotFound. Card used: kConflict. The balance would
  // pass INT32_MAX: kRefused (the card stays unused).
  virtual StoreStatus RedeemCard(const std::string& username, const std::string& cardno,
                                 const std::string& cardpw, std::int64_t now, int* balance,
                                 std::string* error) = 0;

  // Lends a free credential, first from the pool of `lease.serverId`, then
  // from kSharedPool (each pool in first-free-first-out order), to a new
  // lease with `lease.token`, `lease.username`, `lease.serverId` and
  // last handshake `lease.lastHandshake`; a credential is lent to one lease
  // at a time. kOk with `lease.pool` and `lease.credential` filled. The
  // session (`username`, `sessionToken`, `now`) is not live: kNotFound. No
  // free credential: kRefused. The lease token exists: kConflict.
  virtual StoreStatus AcquireLease(const std::string& sessionToken, std::int64_t now, LeaseRecord* lease,
                                   std::string* error) = 0;

  // kOk with `lease` filled, or kNotFound.
  virtual StoreStatus FindLease(const std::string& token, LeaseRecord* lease, std::string* error) = 0;

  // Records a handshake at `now` on the lease `token` of `username`: kOk,
  // or kNotFound.
  virtual StoreStatus TouchLease(const std::string& token, const std::string& username, std::int64_t now,
                                 std::string* error) = 0;

  // Ends the lease `token` of `username` and returns its credential to the
  // back of its pool: kOk, or kNotFound.
  virtual StoreStatus ReleaseLease(const std::string& token, const std::string& username,
                                   std::string* error) = 0;

  // Ends every lease whose last handshake is before `silentSince`, as
  // ReleaseLease does; `freed` (may be null) receives how many. kOk.
  virtual StoreStatus ExpireLeases(std::int64_t silentSince, int* freed, std::string* error) = 0;
};

struct StoreOptions {
  int busyTimeoutMs = 5000;  // how long a call waits for another writer
};

// Opens (creating and migrating as needed) the store `spec` names:
// ":memory:" (SQLite, private to this call, gone when closed),
// "postgresql://..." or "postgres://..." (a libpq connection string; only in
// builds with PROXYHELPER_DEVSERVER_POSTGRES), or anything else as the path
// of an SQLite file. Null with `error` set on failure.
std::unique_ptr<Store> OpenStore(const std::string& spec, const StoreOptions& options, std::string* error);

// $XDG_STATE_HOME/proxyhelper-devserver/devserver.db, or
// ~/.local/state/proxyhelper-devserver/devserver.db without XDG_STATE_HOME
// (empty when neither HOME nor XDG_STATE_HOME is set). Creates nothing.
std::string DefaultStorePath();

}  // namespace devserver
