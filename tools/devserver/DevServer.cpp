#include "tools/devserver/DevServer.h"

#include <csignal>
#include <exception>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/HttpListener.h"
#include "tools/devserver/RawFaultListener.h"

namespace devserver {

DevServer::DevServer(AccountService* service) : service_(service) {}

DevServer::~DevServer() { Stop(); }

bool DevServer::Start(const std::vector<ListenSpec>& specs, std::string* error) {
  Stop();
  // A client that hangs up mid-answer must not kill the whole process,
  // whatever writes to its socket.
  std::signal(SIGPIPE, SIG_IGN);
  for (const ListenSpec& spec : specs) {
    std::string why;
    // Starting may run out of memory or threads; that is an error to
    // report like any other, not a reason to end the process.
    try {
      std::unique_ptr<Listener> listener;
      switch (spec.fault) {
        case FaultMode::kRefuse:
        case FaultMode::kClose:
        case FaultMode::kStall:
          listener = std::make_unique<RawFaultListener>(spec.fault, service_);
          break;
        default:
          listener =
              std::make_unique<HttpListener>(service_, spec.fault, spec.tls ? &tlsFiles_ : nullptr, limits_);
          break;
      }
      if (listener->Start(spec.host, spec.port, &why)) {
        bound_.push_back(BoundListener{spec.host, listener->port(), spec.fault, spec.tls});
        running_.push_back(std::move(listener));
        continue;
      }
    } catch (const std::exception& failure) {
      why = failure.what();
    }
    *error = "cannot listen on " + FormatAddress(spec.host, spec.port) + ": " + why;
    Stop();
    return false;
  }
  std::vector<std::string> addresses;
  for (const BoundListener& bound : bound_) addresses.push_back(bound.ClientAddress());
  service_->SetListenAddresses(addresses);
  return true;
}

void DevServer::Stop() {
  for (auto& listener : running_) listener->Stop();
  running_.clear();
  bound_.clear();
}

}  // namespace devserver
