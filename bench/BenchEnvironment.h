// What every benchmark shares: the reference service in its child process,
// a second one with a large catalogue, the scripted listeners of the worst
// replies, the client's configuration and a private directory for the
// cache file.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// Seed account used for every signed-in exchange.
constexpr char kUser[] = "alice";
constexpr char kPassword[] = "alice-pass";

// Servers in the generated catalogue that the service hands out.
constexpr int kCatalogueServers = 10000;
// Servers in the catalogue of the second service: the largest a service
// sends (the client's reply bounds leave room for it twice).
constexpr int kLargeCatalogueServers = 1000000;

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
// "host:port" of the service with kLargeCatalogueServers servers.
std::string LargeCatalogueServer();
// "host:port" of the listener that answers every request with
// WorstReplies()[i].
std::string WorstReplyServer(std::size_t i);

// Makes `list` the account-server list, current position on its first entry
// (no default server from an earlier configuration push interferes).
void UseAccountServers(const std::string& list);

// Signs in on the main server and fetches the user info, which installs the
// service's cipher keys. Leaves the main server as the only account server.
bool SignInWithKeys(std::string* error);
// The same on `server` ("host:port"), left as the only account server.
bool SignInWithKeysAt(const std::string& server, std::string* error);

}  // namespace bench
