#include "tools/devserver/store/Schema.h"

#include <string>

namespace devserver {

const std::vector<Migration>& StoreMigrations() {
  // Portable types only: TEXT, INTEGER (32-bit values), BIGINT (times, ids).
  // A credential is free when no lease names it; the UNIQUE constraint on
  // leases.credential_id lends each credential to one lease at a time.
  static const std::vector<Migration> kMigrations = {
      {1,
       {
           "CREATE TABLE meta (name TEXT PRIMARY KEY, value TEXT NOT NULL)",
           "CREATE TABLE accounts (username TEXT PRIMARY KEY, password TEXT NOT NULL,"
           " userlevel INTEGER NOT NULL, moneyleft INTEGER NOT NULL, timeleft TEXT NOT NULL,"
           " vpnpd TEXT NOT NULL, usermode INTEGER NOT NULL, simuses INTEGER NOT NULL,"
           " timetip INTEGER NOT NULL)",
           "CREATE TABLE cards (cardno TEXT PRIMARY KEY, cardpw TEXT NOT NULL, value INTEGER NOT NULL,"
           " used_by TEXT, used_at BIGINT)",
           "CREATE TABLE sessions (username TEXT PRIMARY KEY REFERENCES accounts(username),"
           " token TEXT NOT NULL, machine_id TEXT NOT NULL, expires_at BIGINT NOT NULL)",
           "CREATE TABLE credentials (id BIGINT PRIMARY KEY, pool TEXT NOT NULL,"
           " lendusername TEXT NOT NULL, lendpassword TEXT NOT NULL, queue_pos BIGINT NOT NULL)",
           "CREATE INDEX credentials_by_pool ON credentials (pool, queue_pos, id)",
           "CREATE TABLE leases (token TEXT PRIMARY KEY, username TEXT NOT NULL REFERENCES "
           "accounts(username),"
           " server_id INTEGER NOT NULL, credential_id BIGINT NOT NULL UNIQUE REFERENCES credentials(id),"
           " last_handshake BIGINT NOT NULL)",
           "CREATE INDEX leases_by_user ON leases (username)",
           "CREATE INDEX leases_by_handshake ON leases (last_handshake)",
       }},
  };
  return kMigrations;
}

int LatestStoreVersion() { return StoreMigrations().back().version; }

const char kAccountColumns[] =
    "a.username, a.password, a.userlevel, a.moneyleft, a.timeleft, a.vpnpd, a.usermode, a.simuses, a.timetip";

const char* InsertAccountSql(bool unlessTaken) {
  static const std::string kInsert =
      "INSERT INTO accounts (username, password, userlevel, moneyleft, timeleft, vpnpd, usermode, simuses,"
      " timetip) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)";
  static const std::string kUnlessTaken = kInsert + " ON CONFLICT (username) DO NOTHING";
  return (unlessTaken ? kUnlessTaken : kInsert).c_str();
}

}  // namespace devserver
