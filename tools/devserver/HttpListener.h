// A cpp-httplib listener: serves the account service under "/vpn_intl/",
// or plays the HTTP-level faults (status 500, garbage body), over plain HTTP
// or, given a certificate and key, over TLS.
#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tools/devserver/Certificates.h"
#include "tools/devserver/ListenSpec.h"
#include "tools/devserver/Listener.h"

namespace devserver {

class AccountService;

class HttpListener : public Listener {
 public:
  // `mode` is kNone (serve `service`), kStatus500 or kGarbage. With `tls`
  // the listener speaks HTTPS; Start fails when the files cannot be used.
  HttpListener(AccountService* service, FaultMode mode, const TlsFiles* tls = nullptr);
  ~HttpListener() override;

  bool Start(const std::string& host, int port, std::string* error) override;
  int port() const override { return port_; }
  void Stop() override;

 private:
  void Route();

  AccountService* const service_;
  const FaultMode mode_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;  // an httplib::SSLServer for TLS
  bool tls_ = false;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

// Random bytes that no client can take for a reply: the first byte names no
// key letter and the text has no "=", so it is not a profile item either.
std::string GarbageBody();

}  // namespace devserver
