// The store in a PostgreSQL database over libpq, for instances that share
// one database server. Built with PROXYHELPER_DEVSERVER_POSTGRES (on when
// the build finds libpq).
//
// Every method runs one SERIALIZABLE transaction and runs it again, a
// bounded number of times, when the server aborts it for a conflict with a
// concurrent transaction (serialization failure, deadlock, or a unique
// constraint another transaction satisfied first). So two instances racing
// for a card, a credential or a user name behave as if run one after the
// other; the UNIQUE and PRIMARY KEY constraints of the schema hold
// regardless.
#pragma once

#include <memory>
#include <string>

#include "tools/devserver/store/Store.h"

namespace devserver {

// Connects with `conninfo` (a libpq connection string or
// "postgresql://..." URI; a connect time-out of 10 s unless it names one),
// then brings the schema in the connection's current schema up to date, the
// same migrations as the SQLite store. Null with `error` set on failure,
// including a database written by a newer build. The error never repeats
// the connection string, which may carry a password.
std::unique_ptr<Store> OpenPostgresStore(const std::string& conninfo, std::string* error);

}  // namespace devserver
