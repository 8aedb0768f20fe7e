#include "tools/devserver/store/Store.h"

#include <cstdlib>

#include "tools/devserver/store/SqliteStore.h"

#if PROXYHELPER_DEVSERVER_POSTGRES
#include "tools/devserver/store/PostgresStore.h"
#endif

namespace devserver {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

std::unique_ptr<Store> OpenStore(const std::string& spec, const StoreOptions& options, std::string* error) {
  if (spec.empty()) {
    *error = "no store given";
    return nullptr;
  }
  if (StartsWith(spec, "postgresql://") || StartsWith(spec, "postgres://")) {
    // PostgreSQL: implemented in store/PostgresStore.cpp, built with
    // -DPROXYHELPER_DEVSERVER_POSTGRES=ON.
#if PROXYHELPER_DEVSERVER_POSTGRES
    return OpenPostgresStore(spec, error);
#else
    *error = "this proxyhelper-devserver was built without PostgreSQL support; use an SQLite file";
    return nullptr;
#endif
  }
  return SqliteStore::Open(spec, options, error);
}

std::string DefaultStorePath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  std::string base;
  // The XDG rules: a relative XDG_STATE_HOME is invalid and ignored.
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return std::string();
    base = std::string(home) + "/.local/state";
  }
  return base + "/proxyhelper-devserver/devserver.db";
}

}  // namespace devserver
