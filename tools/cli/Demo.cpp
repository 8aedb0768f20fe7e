#include "tools/cli/Demo.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "facade/ConfigItems.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "tools/cli/ConnectLoop.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/KeyStore.h"
#include "tools/cli/Report.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/StopSignal.h"
#include "tools/cli/Views.h"
#include "tools/devserver/InProcessService.h"

namespace proxycli {

namespace {

// A private directory for the demo's cache and keys, removed afterwards;
// `path` is empty when none could be made.
struct ScratchDirectory {
  ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/proxyhelper-demo-XXXXXX";
    if (::mkdtemp(&pattern[0]) != nullptr) path = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  std::string path;
};

// The transcript: one numbered line per step, "ok" or "FAILED".
class Transcript {
 public:
  Transcript(Console& console, bool json) : console_(console), json_(json) {}

  bool Step(const std::string& name, bool ok, const std::string& detail) {
    ++count_;
    if (!ok) ++failed_;
    if (json_) steps_.push_back({{"step", name}, {"ok", ok}, {"detail", detail}});
    std::ostringstream line;
    line << std::setw(2) << count_ << "  " << std::left << std::setw(28) << name
         << (ok ? "ok      " : "FAILED  ") << detail;
    Say(line.str());
    return ok;
  }
  // The step of a call that returned `rc`: ok when it succeeded and `ok`
  // holds; its detail is `done`, or on failure the code and `errdesc`.
  bool Call(const std::string& name, int rc, bool ok, const std::string& done,
            const std::string& errdesc = std::string()) {
    return Step(name, rc == 0 && ok, rc == 0 ? done : ResultText(rc, errdesc));
  }
  void Say(const std::string& text) {
    if (json_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    console_.out << text << "\n" << std::flush;
  }
  // Service log lines arrive on the server's threads.
  void ServerLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    console_.err << "  server: " << line << "\n" << std::flush;
  }
  int Finish(const nlohmann::json& setting) {
    const bool ok = failed_ == 0 && count_ > 0;
    if (json_) {
      nlohmann::json document = setting;
      document["command"] = "demo";
      document["steps"] = steps_;
      document["passed"] = count_ - failed_;
      document["failed"] = failed_;
      document["ok"] = ok;
      console_.out << DumpJson(document, 2) << "\n";
    } else {
      console_.out << "demo: " << (count_ - failed_) << " of " << count_ << " steps ok"
                   << (ok ? "" : ", " + std::to_string(failed_) + " FAILED") << "\n";
    }
    console_.out.flush();
    return ok ? kExitOk : kExitRefused;
  }

 private:
  Console& console_;
  bool json_;
  std::mutex mutex_;
  int count_ = 0;
  int failed_ = 0;
  nlohmann::json steps_ = nlohmann::json::array();
};

// Group name → "id=value" lines, to compare two catalogues.
std::vector<std::string> Flatten(const ServerCatalogue& catalogue) {
  std::vector<std::string> lines;
  for (const auto& group : catalogue) {
    for (const ServerInfo& server : group.second) {
      lines.push_back(group.first + "|" + server.GetKey() + "=" + server.GetValue());
    }
  }
  return lines;
}

// `length` random lower-case hex digits: a fresh account name per run.
std::string RandomHex(std::size_t length) {
  std::random_device random;
  std::string text;
  while (text.size() < length) text += "0123456789abcdef"[random() % 16];
  return text;
}

bool SameAddress(const std::string& host, int port, const std::string& address) {
  return HostPort(host, port) == address;
}

// The story itself; every step checks what it got.
void RunStory(Transcript& transcript, devserver::InProcessService& server, const HostPaths& paths) {
  ProxyHelper& helper = ProxyHelper::Instance();
  const devserver::SeedFacts seed = server.facts();

  std::string version;
  int rc = helper.GetVersion(version);
  transcript.Call("version", rc, version == seed.version, "service announces " + version);

  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  transcript.Step("failover past dead server", rc == 0 && SameAddress(host, port, server.LiveAddress()),
                  server.DeadAddress() + " refused, now on " + host + ":" + std::to_string(port));

  const std::string user = "demo-" + RandomHex(6);
  const std::string password = "pw-" + RandomHex(8);
  RegInfo reg{user, password, "+1-555-0100", user + "@example.com", "10001", "created by the demo"};
  VPErrorInfo error;
  rc = helper.Register(reg, error);
  transcript.Call("register", rc, true, "account " + user + " created", error.errdesc);

  error = VPErrorInfo();
  rc = helper.Register(reg, error);
  transcript.Step("register again is refused",
                  rc == devserver::kResultDuplicateAccount && !error.errdesc.empty(),
                  ResultText(rc, error.errdesc));

  const bool card = !seed.cardNumber.empty();
  const int expectedBalance = seed.newAccountBalance + (card ? seed.cardValue : 0);
  if (card) {
    error = VPErrorInfo();
    rc = helper.Recharge(RecInfo{user, password, seed.cardNumber, seed.cardPassword}, error);
    transcript.Call("recharge", rc, true,
                    "card " + seed.cardNumber + " credited " + std::to_string(seed.cardValue), error.errdesc);
  } else {
    transcript.Step("recharge", false, "the seed has no prepaid card");
  }

  error = VPErrorInfo();
  rc = helper.SignIn(UserIdentity{user, password}, error);
  transcript.Call("sign in", rc, !helper.GetMagic().empty() && helper.GetUserNameA() == user,
                  "session token " + helper.GetMagic().substr(0, 8) + "...", error.errdesc);

  UserInfo info;
  rc = helper.GetUserInfo(info);
  if (rc == 0) AdoptPushedServerConfig();
  const KeyItems keys = KeyItemsFromCache();
  std::string saveError;
  const bool keysKept = SaveKeyItems(paths.keysFile, keys, &saveError);
  transcript.Call("account state", rc, info.username == user && info.moneyleft == expectedBalance,
                  "balance " + std::to_string(info.moneyleft) + ", level " + std::to_string(info.userlevel) +
                      " (" + info.userlevel_desc + "), " + info.timeleft);
  const auto* config = static_cast<const ServerConfig*>(
      GlobalCache::Instance().GetValue(proxyhelper::config::kCurrentServerConfig));
  const std::vector<CLoginServers::Server> pushed = CLoginServers::Instance().GetServers();
  const bool listOk = pushed.size() == 2 &&
                      SameAddress(pushed[0].host, pushed[0].port, server.DeadAddress()) &&
                      SameAddress(pushed[1].host, pushed[1].port, server.LiveAddress()) &&
                      pushed[0].secure == server.tls() && pushed[1].secure == server.tls();
  const int heartbeat = GlobalCache::Instance().GetConfigInt(proxyhelper::config::kHeartbeatSlot, 0);
  const int ratioSlot = GlobalCache::Instance().GetConfigInt(proxyhelper::config::kOnlineRatioSlot, 0);
  transcript.Step("pushed configuration",
                  rc == 0 && !keys.a.empty() && !keys.b.empty() && !keys.c.empty() && keysKept &&
                      heartbeat == seed.heartbeatSlot && ratioSlot == seed.onlineratioSlot && listOk &&
                      config != nullptr && config->serverlevel.size() == seed.serverLevels,
                  "heartbeat " + std::to_string(heartbeat) + " s, online ratio " + std::to_string(ratioSlot) +
                      " s, 3 keys" + (keysKept ? " kept" : " NOT kept (" + saveError + ")") + ", " +
                      std::to_string(pushed.size()) + " account servers, " +
                      std::to_string(config != nullptr ? config->serverlevel.size() : 0) + " server levels");

  ServerCatalogue remote;
  rc = helper.GetVpnServers(remote);
  transcript.Call(
      "catalogue from the service", rc, CatalogueSize(remote) == seed.servers && remote.size() == seed.groups,
      std::to_string(CatalogueSize(remote)) + " servers in " + std::to_string(remote.size()) + " groups");

  // As a later process would: only the kept keys file knows the keys.
  KeyItemsToCache(KeyItems());
  const bool restored = RestoreKeyItems(paths);
  ServerCatalogue local;
  rc = helper.GetLocalVpnServers(local);
  transcript.Call(
      "catalogue from the cache", rc, restored && !local.empty() && Flatten(local) == Flatten(remote),
      std::to_string(CatalogueSize(local)) + " servers, same as the service's", "no usable cache");

  std::vector<ServerOnlineRatio> ratios;
  rc = helper.GetOnlineRatio(ratios);
  const bool ratiosOk = !ratios.empty() && std::all_of(ratios.begin(), ratios.end(), [](const auto& ratio) {
    return ratio.GetRatio() >= 0 && ratio.GetRatio() <= 100;
  });
  transcript.Call("online ratio", rc, ratiosOk, std::to_string(ratios.size()) + " servers reported");

  int serverId = 0;
  if (!remote.empty() && !remote.begin()->second.empty())
    serverId = std::atoi(remote.begin()->second[0].GetKey().c_str());
  DialupInfo lease;
  error = VPErrorInfo();
  rc = helper.GetDailupInfo(serverId, lease, error);
  transcript.Call("lease", rc, !lease.lendusername.empty() && !lease.lendpassword.empty(),
                  "server " + std::to_string(serverId) + ": user " + lease.lendusername + ", password " +
                      lease.lendpassword,
                  error.errdesc);

  const LiveInfo live{lease.lendusername, serverId};
  for (int beat = 1; beat <= 2; ++beat) {
    error = VPErrorInfo();
    rc = helper.ShakeHands(live, error);
    transcript.Call("handshake " + std::to_string(beat), rc, true, "lease confirmed", error.errdesc);
  }

  // A second instance on the same store joins; the first then fails as a
  // crashed one would. The lease and the session live in the store, so the
  // next handshake fails over and goes on with the standby.
  std::string standbyError;
  const bool standby = server.StartStandby(&standbyError);
  if (standby)
    CLoginServers::Instance().Parse((server.tls() ? "https://" : "") + server.StandbyAddress(), false);
  server.StopLive();
  error = VPErrorInfo();
  rc = standby ? helper.ShakeHands(live, error) : RESULT_TRANSPORT_FAILURE;
  CLoginServers::Instance().GetCurrServer(host, port);
  transcript.Step(
      "failover between instances", standby && rc == 0 && SameAddress(host, port, server.StandbyAddress()),
      !standby ? standbyError
      : rc == 0
          ? server.LiveAddress() + " stopped, the lease goes on with " + host + ":" + std::to_string(port)
          : ResultText(rc, error.errdesc));

  rc = helper.ReleaseDialupInfo(0);
  transcript.Call("release", rc, true, "credentials handed back");

  error = VPErrorInfo();
  rc = helper.ShakeHands(live, error);
  transcript.Step("handshake after release", rc != 0 && rc != RESULT_TRANSPORT_FAILURE,
                  "refused as it should be: " + ResultText(rc, error.errdesc));

  rc = helper.SignOut();
  transcript.Call("sign out", rc, true, "session closed");

  UserInfo after;
  rc = helper.GetUserInfo(after);
  transcript.Step("session is gone", rc == RESULT_NOT_SUCCEEDED, "user info now refused: " + ResultText(rc));
}

// Counts connect's leases for the recovery step.
class LeaseCounter : public ConnectEvents {
 public:
  void Leased(const DialupInfo&) override { Bump(&leases_); }
  void Handshake(int result, int, int) override {
    if (result == 0) Bump(&confirmed_);
  }
  // Waits (bounded) until `leases` leases and `confirmed` good handshakes.
  bool WaitFor(int leases, int confirmed) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20),
                             [&] { return leases_ >= leases && confirmed_ >= confirmed; });
  }

 private:
  void Bump(int* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++*count;
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  int leases_ = 0;
  int confirmed_ = 0;
};

// connect as people run it meets a service that restarts and forgets every
// session: it signs in and leases again by itself.
void RunRecoveryStory(Transcript& transcript, const devserver::InProcessOptions& base,
                      const Settings& client) {
  devserver::InProcessService service;
  devserver::InProcessOptions options = base;
  options.deadServerFirst = false;
  options.store = ":memory:";
  std::string error;
  const bool ok = service.Start(options, &error);
  const devserver::SeedFacts seed = service.facts();
  const int serverId = seed.user.empty() ? 0 : seed.leasableServerId;
  if (!ok || serverId == 0) {
    transcript.Step("recovery after a restart", false, error.empty() ? "the seed has no lease" : error);
    return;
  }
  Settings settings = client;
  settings.servers = service.ClientServerList();
  settings.user = seed.user;
  settings.password = seed.password;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Console quiet{in, out, err, false, false};
  ConnectOptions connect;
  connect.serverId = serverId;
  connect.intervalSeconds = 0.2;  // in-process, below the command line's second
  LeaseCounter counter;
  int status = -1;
  std::thread loop([&] { status = RunConnect(settings, quiet, connect, &counter); });
  bool restarted = false;
  bool recovered = false;
  if (counter.WaitFor(1, 1)) {
    restarted = service.RestartLive(&error);
    recovered = restarted && counter.WaitFor(2, 2);
  }
  RequestStop();
  loop.join();
  transcript.Step("recovery after a restart", recovered && status == 0,
                  recovered
                      ? "the service restarted with an empty store; connect signed in and leased server " +
                            std::to_string(serverId) + " again, then released it"
                  : !restarted && !error.empty()
                      ? error
                      : "connect did not recover (exit status " + std::to_string(status) + "): " + err.str());
}

}  // namespace

int RunDemo(const DemoOptions& options, Console& console) {
  Transcript transcript(console, options.json);
  ScratchDirectory scratch;
  if (scratch.path.empty()) {
    transcript.Step("scratch directory", false, "cannot create a temporary directory");
    return transcript.Finish(nlohmann::json::object());
  }

  transcript.Say(
      std::string("proxyhelper demo: the reference account service runs in this process, on loopback only") +
      (options.tls ? ", over TLS" : ""));
  devserver::InProcessService server;
  devserver::InProcessOptions serverOptions;
  // A file, so that a second instance can share it for the failover step.
  serverOptions.store = scratch.path + "/deployment.db";
  if (options.showServerLog) {
    serverOptions.log = [&transcript](const std::string& line) { transcript.ServerLine(line); };
  }
  std::string error;
  std::string caFile;
  // With TLS a CA of this run alone, in the private scratch directory: the
  // client trusts it instead of the system store, and it is gone afterwards.
  const bool started =
      (!options.tls || devserver::CreateLoopbackTls(scratch.path, &serverOptions, &caFile, &error)) &&
      server.Start(serverOptions, &error);
  const std::string scheme = options.tls ? "https://" : "";
  nlohmann::json setting = {
      {"service", server.LiveAddress()}, {"dead_server", server.DeadAddress()}, {"tls", options.tls}};
  if (!transcript.Step("start the account service", started,
                       started ? "live on " + scheme + server.LiveAddress() + ", dead " + scheme +
                                     server.DeadAddress() + " listed first" +
                                     (options.tls ? ", certificate from a throwaway CA" : "")
                               : error)) {
    return transcript.Finish(setting);
  }

  Settings settings;
  settings.servers = server.ClientServerList();
  settings.agent = "proxyhelper-demo";
  settings.lang = "en-US";
  settings.cacheDir = scratch.path + "/cache";
  settings.stateDir = scratch.path + "/state";
  settings.caBundle = caFile;
  HostPaths paths;
  const bool prepared = PrepareHost(settings, &paths, &error);
  if (transcript.Step(
          "client set up", prepared,
          prepared ? "account servers " + settings.servers + ", cache in " + paths.cacheDir : error)) {
    transcript.Say("");
    RunStory(transcript, server, paths);
    RunRecoveryStory(transcript, serverOptions, settings);
    transcript.Say("");
  }
  server.Stop();
  // Nothing may point into the scratch directory once it is gone.
  QUILLON::SetExeDirectory(std::string());
  GlobalCache::Instance().RemoveConfigItem(proxyhelper::config::kCaBundle);
  return transcript.Finish(setting);
}

}  // namespace proxycli
