// A listener for the faults an HTTP library will not produce: a refused
// port, a connection closed without an answer, and an answer that stalls.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "facade/Records.h"
#include "tools/devserver/ListenSpec.h"
#include "tools/devserver/Listener.h"
#include "tools/devserver/Socket.h"

namespace devserver {

class AccountService;

class RawFaultListener : public Listener {
 public:
  // `mode` is kRefuse, kClose or kStall. With `service`, each request
  // faulted is logged in its request log, with what the client will report.
  explicit RawFaultListener(FaultMode mode, const AccountService* service = nullptr);
  ~RawFaultListener() override;

  bool Start(const std::string& host, int port, std::string* error) override;
  int port() const override { return port_; }
  void Stop() override;

 private:
  void Run();
  void Log(const std::string& head, AttemptOutcome outcome) const;

  const FaultMode mode_;
  const AccountService* const service_;
  int port_ = 0;
  UniqueFd socket_;
  UniqueFd wakeRead_;  // becomes readable when Stop wants the thread to end
  UniqueFd wakeWrite_;
  std::thread thread_;
};

}  // namespace devserver
