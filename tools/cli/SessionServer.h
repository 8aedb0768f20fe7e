// Connect's side of the session socket: a thread that answers the other
// subcommands of the same user while the heartbeat goes on undisturbed.
//
// Each connection carries one JSON line each way. Requests: {"op":"status"},
// {"op":"disconnect"}, and {"op":"account"|"servers"|"ratio"}, which connect
// runs with its own session (the library may be called from any thread).
// Answers: {"exit_status":N,"data":{...},"text":"..."} as the subcommand
// would have reported it itself, or {"retry":true} while connect is still
// signing in or already signing out. A disconnect is answered only once the
// lease is released and the session signed out.
//
// Requests are served one at a time; a client gets kRequestReadTimeout to
// send its line and kAnswerWriteTimeout to take the answer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/SessionSocket.h"

namespace proxycli {

class SessionServer {
 public:
  SessionServer(std::string user, HostPaths paths, int serverId);
  ~SessionServer();
  SessionServer(const SessionServer&) = delete;
  SessionServer& operator=(const SessionServer&) = delete;

  SessionListener::Status Open(const SessionSocketPlace& place, std::string* error);
  // Starts answering; status and disconnect at once, operations once leased.
  void Start();

  // The loop's progress, for status and for when operations may run.
  void Leased(const DialupInfo& lease, double intervalSeconds);
  void Handshake(int result, const std::string& errdesc, int succeeded, int failed);
  // The loop is over: no operation starts any more, and one in flight is
  // cancelled and waited for, so the release and the sign-out run alone.
  void Ending();

  bool disconnectRequested() const;

  // After the sign-out: removes the socket, ends the thread and gives every
  // waiting disconnect `answer`.
  void Finish(const nlohmann::json& answer);

 private:
  enum class Phase { kStarting, kLeased, kEnding, kEnded };

  void Serve();
  void ServeOne(OwnedDescriptor connection);
  nlohmann::json Status() const;
  nlohmann::json Perform(const std::string& operation);

  const std::string user_;
  const HostPaths paths_;
  const int serverId_;
  SessionListener listener_;
  OwnedDescriptor wakeRead_;
  OwnedDescriptor wakeWrite_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Phase::kStarting;
  bool operationBusy_ = false;
  bool disconnectRequested_ = false;
  std::vector<OwnedDescriptor> waitingDisconnects_;
  std::string lendUser_;
  double intervalSeconds_ = 0;
  std::chrono::steady_clock::time_point leasedAt_;
  int succeeded_ = 0;
  int failed_ = 0;
  bool haveHandshake_ = false;
  int lastResult_ = 0;
  std::string lastErrdesc_;
  std::chrono::steady_clock::time_point lastAt_;
};

}  // namespace proxycli
