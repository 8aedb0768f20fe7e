// Helpers for the exchange tests: reply texts, server lists, request decoding
// and a record of what the HTTP layer was asked to do per attempt.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/quillon.h"
#include "platform/HttpAttempt.h"
#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "support/ScriptedServer.h"
#include "transport/AttemptInterceptor.h"
#include "transport/HttpCmd.h"

namespace exchangetest {

// An unkeyed reply carrying `profileText`, as the service frames it.
inline std::string ZReply(const std::string& profileText) { return "Z=" + Base64Encode(profileText); }

inline std::string OkReply(const std::string& extra = std::string()) {
  return ZReply("result=0\nerrdesc=\n" + extra);
}

// Replaces the account-server list; fails the test when an entry was dropped.
inline void UseServers(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += entry + ";";
  ASSERT_EQ(CLoginServers::Instance().Parse(text, true), static_cast<int>(entries.size())) << text;
}

inline std::string ClosedServer(const std::string& address) {
  const int port = testsupport::ReserveClosedPort(address);
  EXPECT_NE(port, 0) << address;
  return address + ":" + std::to_string(port);
}

// The letter of a request body and its form text: URL-decoded, Base64-
// decoded and, for keyed letters, decrypted under the letter's key item,
// with the cipher's zero fill removed.
struct DecodedRequest {
  char letter = 0;
  std::string form;
};

inline DecodedRequest DecodeRequest(const std::string& body) {
  DecodedRequest decoded;
  if (body.size() < 2 || body[1] != '=') return decoded;
  decoded.letter = body[0];
  const std::string payload = Base64Decode(QUILLON::URLDecode(body.substr(2)));
  if (decoded.letter == 'Z') {
    decoded.form = payload;
    return decoded;
  }
  const std::string key = DeriveKey(ReadKeyItem(std::string(1, decoded.letter)));
  decoded.form = TwofishDecrypt(key, payload);
  while (!decoded.form.empty() && decoded.form.back() == '\0') decoded.form.pop_back();
  return decoded;
}

// Records what the exchange asked of the HTTP layer for every attempt, in
// order, and how each attempt ended; the attempts themselves are real.
struct LoggedAttempt {
  HttpAttemptRequest request;
  HttpFailure failure = HttpFailure::kNone;
  int status = 0;
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
        attempts_.push_back({request, HttpFailure::kSetup, 0});
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
    for (const auto& attempt : Attempts()) timeouts.push_back(attempt.request.connectTimeoutMs);
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

inline std::string UrlOf(const testsupport::ScriptedServer& server, const std::string& path) {
  return "http://" + server.HostPort() + path;
}

inline std::string UrlOf(const std::string& hostPort, const std::string& path) {
  return "http://" + hostPort + path;
}

}  // namespace exchangetest
