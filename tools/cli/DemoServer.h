// The reference account service run inside this process on loopback: a
// refusing address (nothing ever answers there) and the live service, both on
// ephemeral ports, over plain HTTP or TLS. Clients list the dead address
// first so failover shows.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/Seed.h"

namespace proxycli {

struct DemoServerOptions {
  std::string host = "127.0.0.1";
  // Put a refusing address before the live one, in the list the service
  // pushes as well as in ClientServerList().
  bool deadServerFirst = true;
  // Seed text; empty: the service's built-in seed.
  std::string seedText;
  // One line per request, called from the server's threads; empty: quiet.
  std::function<void(const std::string&)> log;
  // Serve HTTPS with these files (both addresses are listed as "https://").
  bool tls = false;
  devserver::TlsFiles tlsFiles;
  // The service's store; a file lets a standby instance share it.
  std::string store = ":memory:";
};

class DemoServer {
 public:
  DemoServer() = default;
  ~DemoServer() { Stop(); }
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  bool Start(const DemoServerOptions& options, std::string* error);
  void Stop();

  // A second instance of the service on the same store (a file), on an
  // ephemeral port of its own: the deployment a client fails over in.
  bool StartStandby(std::string* error);
  // Ends the first instance as a crash would for its clients: its port
  // refuses from now on. The standby goes on.
  void StopLive();
  // Restarts the live instance on its port, as an upgrade or a crash and
  // restart would: with a store in memory it has forgotten every session
  // and lease.
  bool RestartLive(std::string* error);

  // "host:port" of each listener.
  std::string LiveAddress() const { return live_; }
  std::string DeadAddress() const { return dead_; }               // empty without one
  std::string StandbyAddress() const { return standbyAddress_; }  // empty without one
  bool tls() const { return tls_; }
  // The account-server list a client starts with: dead (if any), then live,
  // each with "https://" in front when the service speaks TLS.
  std::string ClientServerList() const;
  const devserver::SeedData& seed() const { return seed_; }

 private:
  devserver::SeedData seed_;
  std::unique_ptr<devserver::AccountService> service_;
  std::unique_ptr<devserver::DevServer> server_;
  DemoServerOptions options_;
  std::unique_ptr<devserver::AccountService> standbyService_;
  std::unique_ptr<devserver::DevServer> standby_;
  std::string standbyAddress_;
  std::string live_;
  std::string dead_;
  bool tls_ = false;
};

}  // namespace proxycli
