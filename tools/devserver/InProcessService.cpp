#include "tools/devserver/InProcessService.h"

#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/Certificates.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/Seed.h"

namespace devserver {

struct InProcessService::State {
  InProcessOptions options;
  SeedData seed;
  std::unique_ptr<AccountService> service;
  std::unique_ptr<DevServer> server;
  std::unique_ptr<AccountService> standbyService;
  std::unique_ptr<DevServer> standby;
  std::optional<BoundListener> standbyListener;
  std::optional<BoundListener> live;
  std::optional<BoundListener> dead;

  // One instance of the service over the options' store, on `specs`.
  bool Open(bool keysFromStore, const std::vector<ListenSpec>& specs,
            std::unique_ptr<AccountService>* serviceOut, std::unique_ptr<DevServer>* serverOut,
            std::string* error) {
    ServiceOptions serviceOptions;
    serviceOptions.log = options.log;
    serviceOptions.store = options.store;
    serviceOptions.keysFromStore = keysFromStore;
    *serviceOut = AccountService::Open(seed, std::move(serviceOptions), error);
    if (!*serviceOut) return false;
    *serverOut = std::make_unique<DevServer>(serviceOut->get());
    if (options.tls) (*serverOut)->SetTlsFiles({options.certificateFile, options.privateKeyFile});
    return (*serverOut)->Start(specs, error);
  }
};

InProcessService::InProcessService() : state_(std::make_unique<State>()) {}

InProcessService::~InProcessService() { Stop(); }

bool InProcessService::Start(const InProcessOptions& options, std::string* error) {
  Stop();
  State& s = *state_;
  s.seed = SeedData();
  const std::string& seedText = options.seedText.empty() ? DefaultSeedText() : options.seedText;
  if (!ParseSeed(seedText, &s.seed, error)) return false;
  s.options = options;
  std::vector<ListenSpec> specs;
  if (options.deadServerFirst) specs.push_back({options.host, 0, FaultMode::kRefuse, options.tls});
  specs.push_back({options.host, 0, FaultMode::kNone, options.tls});
  if (!s.Open(false, specs, &s.service, &s.server, error)) {
    Stop();
    return false;
  }
  for (const BoundListener& bound : s.server->listeners()) {
    (bound.fault == FaultMode::kRefuse ? s.dead : s.live) = bound;
  }
  return true;
}

bool InProcessService::StartStandby(std::string* error) {
  State& s = *state_;
  // keysFromStore: the first instance's keys, as a second instance of one deployment.
  if (!s.Open(true, {{s.options.host, 0, FaultMode::kNone, s.options.tls}}, &s.standbyService, &s.standby,
              error)) {
    return false;
  }
  s.standbyListener = s.standby->listeners().front();
  return true;
}

void InProcessService::StopLive() {
  if (state_->server) state_->server->Stop();
}

bool InProcessService::RestartLive(std::string* error) {
  State& s = *state_;
  if (!s.server || !s.live) {
    *error = "no live instance to restart";
    return false;
  }
  const int port = s.live->port;
  s.server->Stop();
  s.server.reset();
  s.service.reset();
  // The deployment's keys, as its standby takes them: a store in a file
  // keeps the first start's.
  return s.Open(true, {{s.options.host, port, FaultMode::kNone, s.options.tls}}, &s.service, &s.server,
                error);
}

void InProcessService::Stop() {
  State& s = *state_;
  if (s.standby) s.standby->Stop();
  s.standby.reset();
  s.standbyService.reset();
  s.standbyListener.reset();
  if (s.server) s.server->Stop();
  s.server.reset();
  s.service.reset();
  s.live.reset();
  s.dead.reset();
}

namespace {
std::string AddressOf(const std::optional<BoundListener>& listener) {
  return listener ? listener->Address() : std::string();
}
}  // namespace

std::string InProcessService::LiveAddress() const { return AddressOf(state_->live); }
std::string InProcessService::DeadAddress() const { return AddressOf(state_->dead); }
std::string InProcessService::StandbyAddress() const { return AddressOf(state_->standbyListener); }
bool InProcessService::tls() const { return state_->live && state_->live->tls; }

std::string InProcessService::ClientServerList() const {
  const State& s = *state_;
  if (!s.live) return std::string();
  return s.dead ? s.dead->ClientAddress() + ";" + s.live->ClientAddress() : s.live->ClientAddress();
}

SeedFacts InProcessService::facts() const {
  const SeedData& seed = state_->seed;
  SeedFacts facts;
  facts.version = seed.version;
  facts.heartbeatSlot = seed.heartbeatSlot;
  facts.onlineratioSlot = seed.onlineratioSlot;
  facts.serverLevels = seed.serverLevels.size();
  facts.groups = seed.groups.size();
  for (const ServerGroup& group : seed.groups) facts.servers += group.servers.size();
  facts.newAccountBalance = seed.newAccount.moneyleft;
  if (!seed.cards.empty()) {
    facts.cardNumber = seed.cards.front().cardno;
    facts.cardPassword = seed.cards.front().cardpw;
    facts.cardValue = seed.cards.front().value;
  }
  if (!seed.accounts.empty()) {
    facts.user = seed.accounts.front().username;
    facts.password = seed.accounts.front().password;
  }
  // The last pool of a server's own, else the first catalogue server (the shared pool lends to any).
  for (const auto& pool : seed.pools) {
    if (!pool.second.empty() && std::atoi(pool.first.c_str()) > 0)
      facts.leasableServerId = std::atoi(pool.first.c_str());
  }
  if (facts.leasableServerId == 0 && !seed.groups.empty() && !seed.groups.front().servers.empty()) {
    facts.leasableServerId = seed.groups.front().servers.front().id;
  }
  return facts;
}

bool CreateLoopbackTls(const std::string& directory, InProcessOptions* options, std::string* caFile,
                       std::string* error) {
  TlsFiles files;
  if (!CreateLoopbackTlsFiles(directory, &files, caFile, error)) return false;
  options->tls = true;
  options->certificateFile = files.certificateFile;
  options->privateKeyFile = files.privateKeyFile;
  return true;
}

}  // namespace devserver
