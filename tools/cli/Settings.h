// The global settings of one run, after flags, environment and configuration
// file have been weighed (in that order).
#pragma once

#include <string>

namespace proxycli {

constexpr const char kDefaultServers[] = "127.0.0.1:8080";
constexpr const char kDefaultAgent[] = "proxyhelper-cli";
// Without --operation-timeout, an operation may take this many times
// --timeout: room for a failover or two.
constexpr int kOperationAttempts = 4;

struct Settings {
  std::string servers = kDefaultServers;  // CLoginServers::Parse syntax
  std::string user;
  std::string password;
  std::string lang;  // empty: derived from the locale environment
  std::string agent = kDefaultAgent;
  std::string clientVersion = PROXYHELPER_CLI_VERSION;
  bool json = false;
  std::string cacheDir;        // empty: the XDG cache directory
  std::string stateDir;        // empty: the XDG state directory
  std::string caBundle;        // CAs trusted for "https://" servers; empty: the system's
  int timeoutMs = 0;           // one HTTP attempt (GC_HTTP_TIMEOUT_MS); 0: the library's
  int operationTimeoutMs = 0;  // one operation (GC_OPERATION_TIMEOUT_MS); 0: see kOperationAttempts
  // Follow a pushed list with plain entries even when every server given is
  // https (otherwise GC_HTTPS_ONLY keeps the client on TLS).
  bool allowPlainPush = false;
  // A new connection per request (GC_HTTP_REUSE off); by default the tool
  // keeps one per account server.
  bool noReuse = false;
};

}  // namespace proxycli
