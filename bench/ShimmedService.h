// The reference service in a child process with one listener on 127.0.0.1
// (plain or TLS), reached through a LatencyShim. The service pushes the
// shim's address as its account-server list, so a client that takes the
// push (GetUserInfo) stays behind the shim. Unlike ServiceProcess it serves
// TLS and keeps none of this process's descriptors.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "bench/LatencyShim.h"
#include "bench/ServiceProcess.h"
#include "tools/devserver/Certificates.h"
#include "tools/devserver/CipherKeys.h"

namespace bench {

struct ShimmedServiceSetup {
  bool tls = false;
  devserver::TlsFiles tlsFiles;  // with `tls`
  devserver::CipherKeys keys;
};

class ShimmedService {
 public:
  ShimmedService() = default;
  ~ShimmedService();
  ShimmedService(const ShimmedService&) = delete;
  ShimmedService& operator=(const ShimmedService&) = delete;

  // Binds the shim's port (no thread). Call before any fork.
  bool Bind(std::string* error);
  // Forks the service (the child keeps none of this process's descriptors).
  // Call before any thread exists in this process.
  bool StartService(const ShimmedServiceSetup& setup, std::string* error);
  // Starts relaying at `roundTrip`, after every fork; StopShim ends it
  // until the next StartShim.
  bool StartShim(std::chrono::microseconds roundTrip, std::string* error);
  void StopShim();
  // Ends the child and the shim.
  void Stop();

  // The shim's address as a client lists it ("https://" in front for TLS).
  std::string ClientAddress() const;
  LatencyShim& shim() { return shim_; }

 private:
  LatencyShim shim_;
  bool tls_ = false;
  bool shimStarted_ = false;
  pid_t child_ = -1;
  int lifeline_ = -1;
  int servicePort_ = 0;
};

}  // namespace bench
