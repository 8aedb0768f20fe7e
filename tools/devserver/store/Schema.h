// The store's tables, as numbered migrations in SQL that SQLite and
// PostgreSQL both accept. A store records each migration it applied as a row
// of `schema_version (version INTEGER NOT NULL)` (created with IF NOT EXISTS
// before anything else); at open it applies those past the highest row, in
// order, in one transaction, and refuses a store newer than this build.
#pragma once

#include <vector>

namespace devserver {

struct Migration {
  int version;                          // 1, 2, ...: applied in this order
  std::vector<const char*> statements;  // run one by one
};

// Every migration, oldest first.
const std::vector<Migration>& StoreMigrations();

// The version a fully migrated store has.
int LatestStoreVersion();

// The account statements both stores run, written once so their column
// orders cannot drift apart. Parameters $1..$9 are Account's fields in the
// order of kAccountColumns: PostgreSQL numbers them so, and SQLite takes them
// as named parameters numbered by first appearance, which is the same.
// With `unlessTaken` a taken user name adds nothing and is no error.
const char* InsertAccountSql(bool unlessTaken);
// Account's fields as columns of `accounts a`, in the order above.
extern const char kAccountColumns[];

}  // namespace devserver
