#include "tools/cli/DemoServer.h"

#include <cstdlib>
#include <utility>
#include <vector>

namespace proxycli {

bool DemoServer::Start(const DemoServerOptions& options, std::string* error) {
  Stop();
  seed_ = devserver::SeedData();
  const std::string& seedText = options.seedText.empty() ? devserver::DefaultSeedText() : options.seedText;
  if (!devserver::ParseSeed(seedText, &seed_, error)) return false;

  options_ = options;
  devserver::ServiceOptions serviceOptions;
  serviceOptions.log = options.log;
  serviceOptions.store = options.store;
  service_ = devserver::AccountService::Open(seed_, std::move(serviceOptions), error);
  if (!service_) return false;
  server_ = std::make_unique<devserver::DevServer>(service_.get());
  if (options.tls) server_->SetTlsFiles(options.tlsFiles);

  std::vector<devserver::ListenSpec> specs;
  if (options.deadServerFirst) {
    specs.push_back({options.host, 0, devserver::FaultMode::kRefuse, options.tls});
  }
  specs.push_back({options.host, 0, devserver::FaultMode::kNone, options.tls});
  if (!server_->Start(specs, error)) {
    Stop();
    return false;
  }
  for (const devserver::BoundListener& bound : server_->listeners()) {
    (bound.fault == devserver::FaultMode::kRefuse ? dead_ : live_) = bound.Address();
  }
  tls_ = options.tls;
  return true;
}

bool DemoServer::StartStandby(std::string* error) {
  devserver::ServiceOptions serviceOptions;
  serviceOptions.log = options_.log;
  serviceOptions.store = options_.store;
  serviceOptions.keysFromStore = true;  // the first instance's keys
  standbyService_ = devserver::AccountService::Open(seed_, std::move(serviceOptions), error);
  if (!standbyService_) return false;
  standby_ = std::make_unique<devserver::DevServer>(standbyService_.get());
  if (options_.tls) standby_->SetTlsFiles(options_.tlsFiles);
  if (!standby_->Start({{options_.host, 0, devserver::FaultMode::kNone, options_.tls}}, error)) return false;
  standbyAddress_ = standby_->listeners().front().Address();
  return true;
}

void DemoServer::StopLive() {
  if (server_) server_->Stop();
}

bool DemoServer::RestartLive(std::string* error) {
  const std::size_t colon = live_.rfind(':');
  if (!server_ || colon == std::string::npos) {
    *error = "no live instance to restart";
    return false;
  }
  const int port = std::atoi(live_.c_str() + colon + 1);
  server_->Stop();
  server_.reset();
  service_.reset();
  devserver::ServiceOptions serviceOptions;
  serviceOptions.log = options_.log;
  serviceOptions.store = options_.store;
  service_ = devserver::AccountService::Open(seed_, std::move(serviceOptions), error);
  if (!service_) return false;
  server_ = std::make_unique<devserver::DevServer>(service_.get());
  if (options_.tls) server_->SetTlsFiles(options_.tlsFiles);
  return server_->Start({{options_.host, port, devserver::FaultMode::kNone, options_.tls}}, error);
}

void DemoServer::Stop() {
  if (standby_) standby_->Stop();
  standby_.reset();
  standbyService_.reset();
  standbyAddress_.clear();
  if (server_) server_->Stop();
  server_.reset();
  service_.reset();
  live_.clear();
  dead_.clear();
  tls_ = false;
}

std::string DemoServer::ClientServerList() const {
  const std::string scheme = tls_ ? "https://" : "";
  return dead_.empty() ? scheme + live_ : scheme + dead_ + ";" + scheme + live_;
}

}  // namespace proxycli
