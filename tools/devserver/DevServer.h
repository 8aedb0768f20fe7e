// The development account server: a set of listeners (each possibly playing
// a fault) in front of one AccountService, started and stopped as a unit.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/devserver/Certificates.h"
#include "tools/devserver/ListenSpec.h"
#include "tools/devserver/Listener.h"

namespace devserver {

class AccountService;

struct BoundListener {
  std::string host;
  int port = 0;
  FaultMode fault = FaultMode::kNone;
  bool tls = false;
  std::string Address() const { return FormatAddress(host, port); }
  // The address as a client lists it: "https://" in front for TLS.
  std::string ClientAddress() const { return (tls ? "https://" : "") + Address(); }
};

class DevServer {
 public:
  // `service` must outlive the server.
  explicit DevServer(AccountService* service);
  ~DevServer();
  DevServer(const DevServer&) = delete;
  DevServer& operator=(const DevServer&) = delete;

  // The certificate and key that specs with `tls` serve; set before Start.
  void SetTlsFiles(const TlsFiles& files) { tlsFiles_ = files; }
  // How the HTTP listeners bound each connection; set before Start.
  void SetConnectionLimits(const ConnectionLimits& limits) { limits_ = limits; }

  // Starts one listener for each of `specs`, in order, and tells the service their
  // addresses (for "login_server", "https://" for TLS ones). On failure
  // every listener started so far is stopped again and `error` names the
  // address at fault and why: "cannot listen on 127.0.0.1:8080: Address
  // already in use".
  bool Start(const std::vector<ListenSpec>& specs, std::string* error);

  // The listeners in the order given, with the ports actually bound.
  const std::vector<BoundListener>& listeners() const { return bound_; }

  // Stops every listener; safe to call more than once.
  void Stop();

 private:
  AccountService* const service_;
  std::vector<std::unique_ptr<Listener>> running_;
  std::vector<BoundListener> bound_;
  TlsFiles tlsFiles_;
  ConnectionLimits limits_;
};

}  // namespace devserver
