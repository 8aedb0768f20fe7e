// What every benchmark shares: the reference service in its child process,
// the client's configuration and a private directory for the cache file.
#pragma once

#include <string>

namespace bench {

// Seed account used for every signed-in exchange.
constexpr char kUser[] = "alice";
constexpr char kPassword[] = "alice-pass";

// Servers in the generated catalogue that the service hands out.
constexpr int kCatalogueServers = 10000;

// Loopback hosts of the service's listeners.
constexpr char kMainHost[] = "127.0.0.1";
constexpr char kFailoverAnswerHost[] = "127.0.0.4";

// Starts the service and prepares the client (configuration, language,
// cache directory, cipher keys). Call once, before any thread exists.
bool StartEnvironment(std::string* error);
// Stops the service and removes the cache directory.
void StopEnvironment();

// "host:port" of the service's listener on kMainHost / kFailoverAnswerHost.
std::string MainServer();
std::string FailoverAnswerServer();

// Makes `list` the account-server list, current position on its first entry
// (no default server from an earlier configuration push interferes).
void UseAccountServers(const std::string& list);

// Signs in on the main server and fetches the user info, which installs the
// service's cipher keys. Leaves the main server as the only account server.
bool SignInWithKeys(std::string* error);

}  // namespace bench
