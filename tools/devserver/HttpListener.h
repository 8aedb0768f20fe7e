// A cpp-httplib listener: serves the account service under "/vpn_intl/",
// or plays the HTTP-level faults (status 500, garbage body), over plain HTTP
// or, given a certificate and key, over TLS. Connections are read against
// the deadlines of ConnectionLimits, on threads started as they are needed.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

#include "tools/devserver/Certificates.h"
#include "tools/devserver/HttpConnection.h"
#include "tools/devserver/ListenSpec.h"
#include "tools/devserver/Listener.h"
#include "tools/devserver/Socket.h"

namespace devserver {

class AccountService;
class WorkerPool;

// Connections served at once; more wait for a free thread. Each holds its
// thread at most for the limits' idle time and request deadline.
constexpr std::size_t kDefaultHttpWorkers = 64;

class HttpListener : public Listener {
 public:
  // `mode` is kNone (serve `service`), kStatus500 or kGarbage. With `tls`
  // the listener speaks HTTPS; Start fails when the files cannot be used.
  HttpListener(AccountService* service, FaultMode mode, const TlsFiles* tls = nullptr,
               const ConnectionLimits& limits = ConnectionLimits(),
               std::size_t workers = kDefaultHttpWorkers);
  ~HttpListener() override;

  bool Start(const std::string& host, int port, std::string* error) override;
  int port() const override { return port_; }
  void Stop() override;

 private:
  void Route();
  void LogUnserved(const std::string& script, const std::string& outcome) const;

  AccountService* const service_;
  const FaultMode mode_;
  const ConnectionLimits limits_;
  const std::size_t workers_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;  // serves TLS when tls_
  bool tls_ = false;
  std::unique_ptr<WorkerPool> pool_;  // handed to the server loop when it starts
  UniqueFd stopRead_;                 // readable once Stop wants connections to end
  UniqueFd stopWrite_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  bool loopFailed_ = false;  // the server loop ended by an exception
};

// Random bytes that no client can take for a reply: the first byte names no
// key letter and the text has no "=", so it is not a profile item either.
std::string GarbageBody();

}  // namespace devserver
