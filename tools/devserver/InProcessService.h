// The reference account service as a library: run it inside another
// process on loopback (the CLI's demo, tests, benchmarks) without knowing
// its store, listeners or seed types. This header and ResultCodes.h are all
// a user of the service needs.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "tools/devserver/ResultCodes.h"

namespace devserver {

struct InProcessOptions {
  std::string host = "127.0.0.1";
  // Put a refusing address (nothing ever answers there) before the live
  // one, in the list the service pushes as well as in ClientServerList().
  bool deadServerFirst = true;
  // Seed text; empty: the service's built-in seed.
  std::string seedText;
  // One line per request, called from the server's threads; empty: quiet.
  std::function<void(const std::string&)> log;
  // Serve HTTPS with these PEM files (every address listed as "https://").
  bool tls = false;
  std::string certificateFile;
  std::string privateKeyFile;
  // The service's store; a file lets a standby instance share it.
  std::string store = ":memory:";
};

// What the seed promises a client, so a story can check what it is told.
struct SeedFacts {
  std::string version;
  int heartbeatSlot = 0;
  int onlineratioSlot = 0;
  std::size_t serverLevels = 0;
  std::size_t groups = 0;
  std::size_t servers = 0;
  int newAccountBalance = 0;  // what register.php gives a new account
  // The first prepaid card; empty number: the seed has none.
  std::string cardNumber;
  std::string cardPassword;
  int cardValue = 0;
  // The first seeded account; empty: none.
  std::string user;
  std::string password;
  // A server with credentials to lend; 0: none.
  int leasableServerId = 0;
};

class InProcessService {
 public:
  InProcessService();
  ~InProcessService();
  InProcessService(const InProcessService&) = delete;
  InProcessService& operator=(const InProcessService&) = delete;

  // Starts the refusing address (if asked) and the live instance, both on
  // ephemeral ports. On failure `error` says why and nothing runs.
  bool Start(const InProcessOptions& options, std::string* error);
  void Stop();

  // A second instance on the same store (a file), on a port of its own:
  // the deployment a client fails over in.
  bool StartStandby(std::string* error);
  // Ends the first instance as a crash would for its clients: its port
  // refuses from now on. The standby goes on.
  void StopLive();
  // Restarts the live instance on its port, as an upgrade or a crash and
  // restart would: with a store in memory it has forgotten every session
  // and lease.
  bool RestartLive(std::string* error);

  // "host:port" of each listener; empty when there is none.
  std::string LiveAddress() const;
  std::string DeadAddress() const;
  std::string StandbyAddress() const;
  bool tls() const;
  // The account-server list a client starts with: dead (if any), then live,
  // each with "https://" in front when the service speaks TLS.
  std::string ClientServerList() const;
  SeedFacts facts() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A fresh CA and a server certificate for 127.0.0.1 and localhost, written
// into `directory`; fills the options' certificate and key and sets `tls`.
// `caFile` receives the bundle a client must trust.
bool CreateLoopbackTls(const std::string& directory, InProcessOptions* options, std::string* caFile,
                       std::string* error);

}  // namespace devserver
