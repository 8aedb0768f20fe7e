// The client's side of a loopback exchange: the account-server list, ports
// nobody listens on, and a record of what the exchange asked of the HTTP
// layer for each attempt.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostlib/quillon.h"
#include "platform/HttpAttempt.h"
#include "support/ScriptedServer.h"
#include "transport/AttemptInterceptor.h"

namespace testsupport {

// Replaces the account-server list; fails the test when an entry was dropped.
inline void UseServers(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += entry + ";";
  ASSERT_EQ(CLoginServers::Instance().Parse(text, true), static_cast<int>(entries.size())) << text;
}

// "address:port" where nothing listens.
inline std::string ClosedServer(const std::string& address) {
  const int port = ReserveClosedPort(address);
  EXPECT_NE(port, 0) << address;
  return address + ":" + std::to_string(port);
}

// The current entry of the account-server list as "host:port".
inline std::string CurrentServer() {
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  return host + ":" + std::to_string(port);
}

inline std::string UrlOf(const std::string& hostPort, const std::string& path) {
  return "http://" + hostPort + path;
}

inline std::string UrlOf(const ScriptedServer& server, const std::string& path) {
  return server.Origin() + path;
}

// Records what the exchange asked of the HTTP layer for every attempt, in
// order, and how each attempt ended; the attempts themselves are real.
struct LoggedAttempt {
  HttpAttemptRequest request;
  AttemptClock::time_point startedAt;  // when the exchange handed it over
  std::optional<AttemptOutcome> failure = std::nullopt;
  int status = 0;

  // The attempt's deadline as milliseconds from its start.
  long long DeadlineMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(request.deadline - startedAt).count();
  }
};

class AttemptLog {
 public:
  // `before` runs ahead of every attempt (a test may throw from it).
  explicit AttemptLog(std::function<void(std::size_t attempt)> before = nullptr) {
    SetAttemptInterceptor([this, before](const HttpAttemptRequest& request) {
      std::size_t index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        index = attempts_.size();
        attempts_.push_back({request, AttemptClock::now(), AttemptOutcome::kSetupFailed, 0});
      }
      if (before) before(index);
      HttpAttemptResult result = PerformHttpAttempt(request);
      std::lock_guard<std::mutex> lock(mutex_);
      attempts_[index].failure = result.failure;
      attempts_[index].status = result.status;
      return result;
    });
  }
  ~AttemptLog() { SetAttemptInterceptor(nullptr); }
  AttemptLog(const AttemptLog&) = delete;
  AttemptLog& operator=(const AttemptLog&) = delete;

  std::vector<LoggedAttempt> Attempts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attempts_;
  }
  std::vector<int> ConnectTimeouts() const {
    std::vector<int> timeouts;
    for (const auto& attempt : Attempts())
      timeouts.push_back(static_cast<int>(attempt.request.connectWindow.count()));
    return timeouts;
  }
  std::vector<std::string> Urls() const {
    std::vector<std::string> urls;
    for (const auto& attempt : Attempts()) {
      const HttpAttemptRequest& r = attempt.request;
      urls.push_back(std::string(r.secure ? "https://" : "http://") + r.host + ":" + std::to_string(r.port) +
                     r.path);
    }
    return urls;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedAttempt> attempts_;
};

}  // namespace testsupport
