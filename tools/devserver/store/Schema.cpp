#include "tools/devserver/store/Schema.h"

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

}  // namespace devserver
