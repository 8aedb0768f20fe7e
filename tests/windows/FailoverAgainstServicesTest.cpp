// Failover of the Windows build, under Wine, against two Linux
// reference-service processes on one store (scripts/windows-ci.sh starts
// them, and kills the first when this program asks). Only the public headers
// and the two DLLs, as an application would: the list starts with the first
// instance alone, so the way to the second is the list the user info pushes.
//
// Environment: PROXYHELPER_FAILOVER_A and PROXYHELPER_FAILOVER_B
// ("127.0.0.1:PORT"), PROXYHELPER_FAILOVER_KILL_REQUEST (a file this program
// creates when the first instance is to be killed). Exits 0 when every check
// holds, 1 with the failed checks on standard output otherwise.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "WinsockTestUtil.h"  // ahead of the library's headers: winsock2.h before windows.h
#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"

namespace {

using std::chrono::milliseconds;

int failures = 0;

// A step the rest depends on failed: says so, for `return Fatal(...)`.
int Fatal(const std::string& what) {
  std::printf("FAILED: %s\n", what.c_str());
  return 1;
}

std::string Code(int result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(result));
  return text;
}

void Check(bool ok, const std::string& what) {
  if (!ok) {
    ++failures;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

struct Address {
  std::string host;
  int port = 0;
  std::string Text() const { return host + ":" + std::to_string(port); }
};

bool ParseAddress(const char* text, Address* address) {
  const std::string s = text == nullptr ? "" : text;
  const std::size_t colon = s.rfind(':');
  if (colon == std::string::npos) return false;
  address->host = s.substr(0, colon);
  address->port = std::atoi(s.c_str() + colon + 1);
  return !address->host.empty() && address->port > 0;
}

struct Attempt {
  std::string script;
  std::string host;
  int port;
  AttemptOutcome outcome;
};

std::mutex attemptsMutex;
std::vector<Attempt> attempts;

std::vector<Attempt> AttemptsSince(std::size_t first) {
  std::lock_guard<std::mutex> lock(attemptsMutex);
  return std::vector<Attempt>(attempts.begin() + static_cast<std::ptrdiff_t>(first), attempts.end());
}

std::size_t AttemptCount() {
  std::lock_guard<std::mutex> lock(attemptsMutex);
  return attempts.size();
}

bool At(const Attempt& attempt, const Address& address) {
  return attempt.host == address.host && attempt.port == address.port;
}

std::string Describe(const std::vector<Attempt>& list) {
  std::string text;
  for (const Attempt& a : list) {
    text += "\n  " + a.script + " " + a.host + ":" + std::to_string(a.port) + " " +
            ProxyHelperControl::OutcomeName(a.outcome);
  }
  return text;
}

bool IsCurrent(const Address& address) {
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  return host == address.host && port == address.port;
}

// Handshakes every 200 ms until stopped, as a connected client sends them.
class Heartbeat {
 public:
  explicit Heartbeat(const LiveInfo& live) : live_(live), thread_([this] { Run(); }) {}
  ~Heartbeat() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int ok() const { return ok_; }
  int failed() const { return failed_; }

 private:
  void Run() {
    for (int round = 0; round < 600 && !stop_; ++round) {
      VPErrorInfo error;
      const int result = ProxyHelper::Instance().ShakeHands(live_, error);
      if (result == 0) {
        ++ok_;
      } else {
        ++failed_;
        std::printf("handshake failed: %s %s\n", Code(result).c_str(), error.errdesc.c_str());
      }
      std::this_thread::sleep_for(milliseconds(200));
    }
  }

  const LiveInfo live_;
  std::atomic<bool> stop_{false};
  std::atomic<int> ok_{0};
  std::atomic<int> failed_{0};
  std::thread thread_;
};

int Run(const Address& a, const Address& b, const std::string& killRequest) {
  ProxyHelperControl::SetAttemptTrace([](const AttemptTrace& trace) {
    std::lock_guard<std::mutex> lock(attemptsMutex);
    attempts.push_back({trace.script, trace.host, trace.port, trace.outcome});
  });
  GlobalCache::Instance().SetClientCfg("failover-test", "1.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en");
  CLoginServers::Instance().Parse(a.Text(), true);
  ProxyHelper& helper = ProxyHelper::Instance();

  VPErrorInfo error;
  int result = helper.SignIn({"alice", "alice-pass"}, error);
  if (result != 0) return Fatal("SignIn " + Code(result) + " " + error.errdesc);
  UserInfo info;
  result = helper.GetUserInfo(info);
  if (result != 0) return Fatal("GetUserInfo " + Code(result));
  const std::vector<CLoginServers::Server> pushed = CLoginServers::Instance().GetServers();
  if (pushed.size() != 2 || pushed[0].host != a.host || pushed[0].port != a.port ||
      pushed[1].host != b.host || pushed[1].port != b.port) {
    return Fatal("the user info did not push " + a.Text() + ";" + b.Text());
  }
  DialupInfo lease;
  result = helper.GetDailupInfo(101, lease, error);
  if (result != 0 || lease.lendusername.empty()) {
    return Fatal("GetDailupInfo " + Code(result) + " " + error.errdesc);
  }

  Heartbeat heartbeat({lease.lendusername, 101});
  Check(wintest::WaitFor([&] { return heartbeat.ok() >= 3; }, milliseconds(20000)),
        "three handshakes before the kill");
  Check(IsCurrent(a), "the account server before the kill is " + a.Text());

  std::ofstream(killRequest) << "kill " << a.Text() << "\n";
  if (!wintest::WaitFor([&] { return wintest::Refuses(a.host, a.port); }, milliseconds(30000))) {
    heartbeat.Stop();
    return Fatal(a.Text() + " still accepts connections; was it killed?");
  }
  const std::size_t afterKill = AttemptCount();
  const int okAtKill = heartbeat.ok();
  Check(wintest::WaitFor([&] { return heartbeat.ok() >= okAtKill + 3; }, milliseconds(30000)),
        "three handshakes after the kill");
  heartbeat.Stop();
  // The kill may cut one handshake in flight; every other one fails over.
  Check(heartbeat.failed() <= 1, std::to_string(heartbeat.failed()) + " handshakes failed");
  Check(IsCurrent(b), "the account server after the kill is " + b.Text());
  for (const Attempt& attempt : AttemptsSince(afterKill)) {
    if (attempt.outcome == AttemptOutcome::kParsed) {
      Check(At(attempt, b),
            "a reply after the kill came from " + attempt.host + ":" + std::to_string(attempt.port));
    }
  }

  // Current is B, which answers: release and sign-out go there alone.
  const std::size_t beforeRelease = AttemptCount();
  Check(helper.ReleaseDialupInfo(0) == 0, "ReleaseDialupInfo");
  Check(helper.SignOut() == 0, "SignOut");
  const std::vector<Attempt> last = AttemptsSince(beforeRelease);
  Check(last.size() == 2 && last[0].script == "releasedialupinfo.php" && last[1].script == "logout.php" &&
            At(last[0], b) && At(last[1], b) && last[0].outcome == AttemptOutcome::kParsed &&
            last[1].outcome == AttemptOutcome::kParsed,
        "release and sign-out each one reply from " + b.Text() + ":" + Describe(last));

  ProxyHelperControl::SetAttemptTrace(nullptr);
  std::printf("handshakes: %d ok, %d failed; attempts after the kill:%s\n", heartbeat.ok(),
              heartbeat.failed(), Describe(AttemptsSince(afterKill)).c_str());
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Address a;
  Address b;
  const char* killRequest = std::getenv("PROXYHELPER_FAILOVER_KILL_REQUEST");
  if (!ParseAddress(std::getenv("PROXYHELPER_FAILOVER_A"), &a) ||
      !ParseAddress(std::getenv("PROXYHELPER_FAILOVER_B"), &b) || killRequest == nullptr ||
      *killRequest == 0) {
    std::printf(
        "FAILED: set PROXYHELPER_FAILOVER_A, PROXYHELPER_FAILOVER_B and PROXYHELPER_FAILOVER_KILL_REQUEST\n");
    return 2;
  }
  const wintest::Winsock winsock;
  if (!winsock.ok()) return Fatal("WSAStartup");
  const int status = Run(a, b, killRequest);
  std::printf(status == 0 ? "every check held\n" : "some checks failed\n");
  return status;
}
