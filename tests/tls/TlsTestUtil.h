// The reference account service on one loopback address, over TLS or plain
// HTTP, for the TLS tests; it counts the requests its service handled, so a
// test can tell a refused handshake (nothing handled) from a refused reply.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "hostlib/quillon.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/Seed.h"

namespace tlstest {

constexpr char kSeed[] =
    "[service]\nversion=7.7.7-tls\nheartbeat_slot=5\nonlineratio_slot=9\n"
    "[serverlevel]\n1=Basic\n"
    "[account:alice]\npassword=alice-pw\nmoneyleft=10\ntimeleft=3 days\n"
    "[group:one]\n1=One,one.example,1,Here\n";

class LoopbackService {
 public:
  // `tls` null: plain HTTP.
  LoopbackService(std::string host, const devserver::TlsFiles* tls,
                  devserver::ServiceOptions options = devserver::ServiceOptions())
      : host_(std::move(host)), tls_(tls != nullptr) {
    if (tls != nullptr) files_ = *tls;
    std::string error;
    if (!devserver::ParseSeed(kSeed, &seed_, &error)) {
      ADD_FAILURE() << error;
      return;
    }
    auto counter = handled_;
    auto log = options.log;
    options.log = [counter, log](const std::string& line) {
      ++*counter;
      if (log) log(line);
    };
    service_ = std::make_unique<devserver::AccountService>(seed_, std::move(options));
    server_ = std::make_unique<devserver::DevServer>(service_.get());
    if (tls_) server_->SetTlsFiles(files_);
  }

  // Starts listening on `port` (0: an ephemeral one); false (with a test
  // failure) when the listener could not start.
  bool Start(int port = 0) {
    if (!server_) return false;
    devserver::ListenSpec spec;
    spec.host = host_;
    spec.port = port;
    spec.tls = tls_;
    std::string error;
    if (!server_->Start({spec}, &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    port_ = server_->listeners().front().port;
    return true;
  }

  int port() const { return port_; }
  std::string HostPort() const { return host_ + ":" + std::to_string(port_); }
  // The login-server entry naming this service with its own scheme.
  std::string Entry() const { return (tls_ ? "https://" : "") + HostPort(); }
  std::string Url(const std::string& path) const {
    return (tls_ ? "https://" : "http://") + HostPort() + path;
  }
  int Handled() const { return handled_->load(); }
  const std::string& version() const { return seed_.version; }

 private:
  std::string host_;
  bool tls_;
  devserver::TlsFiles files_;
  devserver::SeedData seed_;
  std::shared_ptr<std::atomic<int>> handled_ = std::make_shared<std::atomic<int>>(0);
  std::unique_ptr<devserver::AccountService> service_;
  std::unique_ptr<devserver::DevServer> server_;
  int port_ = 0;
};

// The trusted test CA as the application's bundle.
inline void TrustTestCa(const testsupport::TestCertificates& certificates) {
  GlobalCache::Instance().SetConfigItem("GC_CA_BUNDLE", certificates.CaFile());
}

}  // namespace tlstest
