// How a client application embeds proxyhelper: a heartbeat thread beside the
// window's own calls, a Cancel button, and an attempt trace for the support
// log. Built with the project; run it with account servers as arguments
// ("host:port" ...) to watch the trace, or with none to see it do nothing.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "facade/ConfigItems.h"
#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"

namespace {

// The support log: one line per attempt, never a secret (the trace holds none).
void LogAttempt(const AttemptTrace& attempt) {
  std::fprintf(stderr, "attempt %s %s:%d%s connect %d ms, %d ms: %s", attempt.script.c_str(),
               attempt.host.c_str(), attempt.port, attempt.tls ? " tls" : "", attempt.connectTimeoutMs,
               attempt.elapsedMs, ProxyHelperControl::OutcomeName(attempt.outcome));
  if (attempt.httpStatus != 0) std::fprintf(stderr, " (HTTP %d)", attempt.httpStatus);
  if (attempt.outcome == AttemptOutcome::kRefusedByService)
    std::fprintf(stderr, " (result %d)", attempt.serviceResult);
  std::fprintf(stderr, "\n");
}

// Confirms the lease every "GC_HEARTBEAT_SLOT" seconds until stopped; runs
// beside whatever the window calls meanwhile.
class Heartbeat {
 public:
  explicit Heartbeat(LiveInfo live) : live_(std::move(live)), thread_([this] { Run(); }) {}
  ~Heartbeat() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  void Run() {
    const int seconds = GlobalCache::Instance().GetConfigInt(proxyhelper::config::kHeartbeatSlot, 60);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_; })) {
      lock.unlock();
      VPErrorInfo error;
      const int result = ProxyHelper::Instance().ShakeHands(live_, error);
      if (result != 0)
        std::fprintf(stderr, "heartbeat: 0x%X %s\n", static_cast<unsigned>(result), error.errdesc.c_str());
      lock.lock();
    }
  }

  LiveInfo live_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// What the window's Cancel button does: every operation in flight, in any
// thread, returns RESULT_CANCELLED; the next ones run normally.
void OnCancelButton() { ProxyHelperControl::CancelAll(); }

}  // namespace

int main(int argc, char** argv) {
  GlobalCache::Instance().SetClientCfg("embedding-example", "1.0");
  std::string servers;
  for (int i = 1; i < argc; ++i) servers += std::string(argv[i]) + ";";
  CLoginServers::Instance().Parse(servers, true);
  ProxyHelperControl::SetAttemptTrace(LogAttempt);

  ProxyHelper& helper = ProxyHelper::Instance();
  // The window signs in on a worker thread; the user may press Cancel.
  std::atomic<int> signIn{0};
  std::thread window([&] {
    VPErrorInfo error;
    signIn = helper.SignIn({"alice", "secret"}, error);
  });
  if (argc > 1) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  OnCancelButton();
  window.join();
  std::printf("sign-in: 0x%X%s\n", static_cast<unsigned>(signIn.load()),
              signIn.load() == RESULT_CANCELLED ? " (cancelled)" : "");
  if (signIn.load() == 0) {
    Heartbeat heartbeat(LiveInfo{"lent-user", 101});
    UserInfo info;
    helper.GetUserInfo(info);  // the window's own call, beside the heartbeat
  }
  ProxyHelperControl::SetAttemptTrace(nullptr);
  return 0;
}
