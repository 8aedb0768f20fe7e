// The reference account service (tools/devserver), in-process: one HTTP or
// HTTPS listener per loopback host, all in front of one AccountService, so a
// session opened through one server is valid at the others. A listener can
// be stopped and started again on its port, to play a server that dies and
// comes back; the service counts the requests it handled, so a test can
// tell a refused handshake (nothing handled) from a refused reply.
#pragma once

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/Certificates.h"
#include "tools/devserver/CipherKeys.h"
#include "tools/devserver/HttpListener.h"
#include "tools/devserver/Seed.h"

namespace testsupport {

// Fixed keys, so a test can frame keyed replies and requests of its own.
inline devserver::CipherKeys FixedKeys() {
  devserver::CipherKeys keys;
  keys.m1 = "reliability-key-one";
  keys.m2 = "reliability-key-two";
  keys.m3 = "reliability-key-three";
  return keys;
}

// The accounts, cards, servers and credential pools the tests rely on,
// fixed here so a change to the service's shipped seed cannot move them.
inline const char* ReferenceSeed() {
  return R"(
[service]
version=2.6.0
heartbeat_slot=60
onlineratio_slot=300
[serverlevel]
1=Basic
2=Silver
[warning]
tip=0
message=reliability
url=http://www.example.com/notice
[new_account]
userlevel=1
moneyleft=0
timeleft=0 days
[account:alice]
password=alice-pass
userlevel=2
moneyleft=120
timeleft=30 days
vpnpd=pd-alice
[account:bob]
password=bob-pass
[card:CARD-0001]
cardpw=1111
value=50
[card:CARD-0002]
cardpw=2222
value=100
[group:Europe]
101=Frankfurt 1,fra1.vpn.example.net,1,Germany
102=Amsterdam 1,ams1.vpn.example.net,2,Netherlands
[group:Asia]
201=Tokyo 1,tyo1.vpn.example.net,1,Japan
[pool:101]
dial101a=pw-101a
dial101b=pw-101b
[pool:shared]
dialsh1=pw-sh1
dialsh2=pw-sh2
)";
}

class ReferenceService {
 public:
  struct Setup {
    std::vector<std::string> hosts = {"127.0.0.1"};
    const devserver::TlsFiles* tls = nullptr;  // null: plain HTTP
    devserver::ServiceOptions options;         // its keys are replaced by FixedKeys()
    int firstPort = 0;                         // of the first host; 0: any free port
  };

  explicit ReferenceService(const std::vector<std::string>& hosts = {"127.0.0.1"})
      : ReferenceService(Hosts(hosts)) {}

  explicit ReferenceService(Setup setup) : tls_(setup.tls != nullptr) {
    // The HTTP library writes without MSG_NOSIGNAL; a client that hangs up
    // mid-answer must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    if (tls_) files_ = *setup.tls;
    std::string error;
    if (!devserver::ParseSeed(ReferenceSeed(), &seed_, &error)) return;
    devserver::ServiceOptions options = std::move(setup.options);
    options.keys = FixedKeys();
    auto handled = handled_;
    auto log = options.log;
    options.log = [handled, log](const std::string& line) {
      ++*handled;
      if (log) log(line);
    };
    service_ = std::make_unique<devserver::AccountService>(seed_, std::move(options));
    for (const std::string& host : setup.hosts) {
      slots_.push_back(Slot{host, slots_.empty() ? setup.firstPort : 0, nullptr});
      if (!StartServer(slots_.size() - 1)) return;
    }
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < slots_.size(); ++i) entries.push_back(Entry(i));
    service_->SetListenAddresses(entries);
    ok_ = true;
  }

  ~ReferenceService() {
    for (std::size_t i = 0; i < slots_.size(); ++i) StopServer(i);
  }

  ReferenceService(const ReferenceService&) = delete;
  ReferenceService& operator=(const ReferenceService&) = delete;

  bool ok() const { return ok_; }
  std::size_t size() const { return slots_.size(); }
  int Port(std::size_t i = 0) const { return slots_[i].port; }
  std::string Address(std::size_t i = 0) const {
    return slots_[i].host + ":" + std::to_string(slots_[i].port);
  }
  // The login-server entry naming server `i` with its own scheme.
  std::string Entry(std::size_t i = 0) const { return (tls_ ? "https://" : "") + Address(i); }
  std::string Url(const std::string& path, std::size_t i = 0) const {
    return (tls_ ? "https://" : "http://") + Address(i) + path;
  }
  // "a;b;c", the form the client's server list takes.
  std::string AddressList() const {
    std::string list;
    for (std::size_t i = 0; i < slots_.size(); ++i) list += (i == 0 ? "" : ";") + Entry(i);
    return list;
  }
  bool IsUp(std::size_t i) const { return slots_[i].listener != nullptr; }

  // Closes the port and every connection; the port stays the server's.
  void StopServer(std::size_t i) {
    if (slots_[i].listener == nullptr) return;
    slots_[i].listener->Stop();
    slots_[i].listener.reset();
  }

  // Listens again on the server's port (the one set up the first time).
  bool StartServer(std::size_t i) {
    if (slots_[i].listener != nullptr) return true;
    auto listener = std::make_unique<devserver::HttpListener>(service_.get(), devserver::FaultMode::kNone,
                                                              tls_ ? &files_ : nullptr);
    std::string error;
    if (!listener->Start(slots_[i].host, slots_[i].port, &error)) return false;
    slots_[i].port = listener->port();
    slots_[i].listener = std::move(listener);
    return true;
  }

  const devserver::CipherKeys& keys() const { return service_->keys(); }
  // Plain HTTP on `hosts`.
  static Setup Hosts(const std::vector<std::string>& hosts) {
    Setup setup;
    setup.hosts = hosts;
    return setup;
  }
  const std::string& version() const { return seed_.version; }
  // Requests the service handled (a refused handshake never gets there).
  int Handled() const { return handled_->load(); }

 private:
  struct Slot {
    std::string host;
    int port = 0;
    std::unique_ptr<devserver::HttpListener> listener;
  };

  bool tls_;
  devserver::TlsFiles files_;
  devserver::SeedData seed_;
  std::shared_ptr<std::atomic<int>> handled_ = std::make_shared<std::atomic<int>>(0);
  std::unique_ptr<devserver::AccountService> service_;
  std::vector<Slot> slots_;
  bool ok_ = false;
};

}  // namespace testsupport
