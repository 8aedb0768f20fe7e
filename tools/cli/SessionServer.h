// Connect's side of the session socket: two threads that answer the other
// subcommands of the same user while the heartbeat goes on undisturbed.
//
// Each connection carries one JSON request line and one answer line.
// Requests: {"op":"status"}, {"op":"disconnect"}, and
// {"op":"account"|"servers"|"ratio"}, which connect runs with its own session
// (the library may be called from any thread). Answers:
// {"exit_status":N,"data":{...},"text":"..."} as the subcommand would have
// reported it itself, or {"retry":true} while connect is still signing in,
// already signing out, or too busy to queue one more operation; while it
// recovers a lost lease {"retry":true,"recovering":"<reason>"}. A disconnect
// is answered only once the lease is released and the session signed out.
//
// The catalogue does not fit one line: the answer to "servers" carries
// "catalogue":"lines", and is followed by {"group":"<name>"} lines, each
// followed by its records as ["<key>","<value>"] lines, and a last line
// {"end":true,"groups":G,"records":R}; {"end":false,"errdesc":"..."} ends a
// catalogue that could not be sent whole. Texts travel as BytesAsJsonText.
//
// One thread polls every connection: status is answered at once, and a
// client gets kRequestReadTimeout to send its line and kAnswerWriteTimeout
// to take the answer, so no silent or slow client holds up another. The
// other thread runs the operations one at a time, in order of arrival.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
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
  // Leased again after Recovering starts the counts afresh.
  void Leased(const DialupInfo& lease, double intervalSeconds);
  // The lease is lost (`reason`, for status): until the next Leased,
  // operations are asked to wait and status says "recovering: <reason>".
  void Recovering(const std::string& reason);
  // The service replaced the user's server list with `pushedList`: status
  // shows it (its first 8 KiB) from now on.
  void ServerListReplaced(const std::string& pushedList);
  void Handshake(int result, const std::string& errdesc, int succeeded, int failed);
  // The loop is over: no operation starts any more, and one in flight is
  // cancelled and waited for, so the release and the sign-out run alone.
  void Ending();

  bool disconnectRequested() const { return disconnectRequested_; }

  // After the sign-out: removes the socket, ends the threads (cancelling an
  // operation in flight), drops the operations still waiting (their clients
  // find no connect and sign in on their own) and gives every waiting
  // disconnect `answer`.
  void Finish(const nlohmann::json& answer);

 private:
  enum class Phase { kStarting, kLeased, kRecovering, kEnding, kEnded };
  struct Connection;
  struct Job {
    std::string operation;
    OwnedDescriptor connection;
  };

  void Serve();
  // Takes what has come of the request line; a whole one it answers, parks
  // or queues. False when the connection is done with.
  bool Receive(Connection& connection);
  // Come back later, and why when recovering; with mutex_ held.
  nlohmann::json Retry() const;
  void Work();
  nlohmann::json Status() const;
  nlohmann::json Perform(const std::string& operation, ServerCatalogue* catalogue);
  void SendCatalogue(int fd, const ServerCatalogue& catalogue);
  bool ended() const;

  const std::string user_;
  const HostPaths paths_;
  const int serverId_;
  std::string servers_;  // canonical, from the place opened
  SessionListener listener_;
  OwnedDescriptor wakeRead_;
  OwnedDescriptor wakeWrite_;
  std::thread thread_;
  std::thread worker_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Phase::kStarting;
  bool operationBusy_ = false;
  std::atomic<bool> disconnectRequested_{false};
  std::deque<Job> jobs_;
  std::vector<OwnedDescriptor> waitingDisconnects_;
  std::string recoveringReason_;
  std::optional<std::string> replacedList_;
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
