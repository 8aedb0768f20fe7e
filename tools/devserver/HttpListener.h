// The service's HTTP listener on Boost.Beast: serves the account service
// under "/vpn_intl/" and its health under "/healthz", or plays the HTTP-level
// faults (status 500, garbage body), over plain HTTP or, given a certificate
// and key, over TLS. Connections are read against ConnectionLimits by a few
// threads; a connection that waits costs no thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "tools/devserver/Certificates.h"
#include "tools/devserver/ListenSpec.h"
#include "tools/devserver/Listener.h"

namespace devserver {

class AccountService;

// Threads that run the listener's connections: they only ever wait for
// the service, never for a peer.
constexpr std::size_t kDefaultHttpThreads = 4;

class HttpListener : public Listener {
 public:
  // `mode` is kNone (serve `service`), kStatus500 or kGarbage. With `tls`
  // the listener speaks HTTPS; Start fails when the files cannot be used.
  HttpListener(AccountService* service, FaultMode mode, const TlsFiles* tls = nullptr,
               const ConnectionLimits& limits = ConnectionLimits(),
               std::size_t threads = kDefaultHttpThreads);
  ~HttpListener() override;
  HttpListener(const HttpListener&) = delete;
  HttpListener& operator=(const HttpListener&) = delete;

  bool Start(const std::string& host, int port, std::string* error) override;
  int port() const override { return port_; }
  void Stop() override;

 private:
  struct Impl;

  AccountService* const service_;
  const FaultMode mode_;
  const bool tls_;
  const TlsFiles tlsFiles_;
  const ConnectionLimits limits_;
  const std::size_t threads_;
  int port_ = 0;
  std::unique_ptr<Impl> impl_;  // while started
};

// Random bytes that no client can take for a reply: the first byte names no
// key letter and the text has no "=", so it is not a profile item either.
std::string GarbageBody();

}  // namespace devserver
