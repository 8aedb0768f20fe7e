// Kept connections ("GC_HTTP_REUSE"), attempt by attempt: consecutive
// attempts to one server share a connection only when asked to; a connection
// the server closed, or one idle past the bound, is replaced before anything
// is sent; a request that went out is never sent a second time; a new TLS
// connection resumes the session.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/HttpAttempt.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

using testsupport::Behaviour;
using testsupport::Script;
using testsupport::ScriptedServer;

HttpAttemptRequest RequestTo(const ScriptedServer& server, bool reuse, std::chrono::milliseconds idle) {
  HttpAttemptRequest request;
  request.host = server.address();
  request.port = server.port();
  request.path = "/vpn_intl/x.php";
  request.body = "Z=cXVlcnk%3D";
  request.connectWindow = std::chrono::milliseconds(2000);
  request.deadline = AttemptClock::now() + std::chrono::seconds(20);
  request.maxBody = 1 << 20;
  request.reuse = reuse;
  request.idle = idle;
  return request;
}

struct Case {
  const char* name;
  bool reuse;
  int serverIdleMs;  // how long the server keeps an idle connection
  std::chrono::milliseconds idle;
  std::chrono::milliseconds pause;  // between attempts
  std::size_t connections;          // for three attempts
  std::vector<bool> reused;
};

TEST(ConnectionReuse, ConnectionsAreKeptOnlyWhenAskedAndWhileUsable) {
  using std::chrono::milliseconds;
  const Case cases[] = {
      {"off", false, 2000, milliseconds(30000), milliseconds(0), 3, {false, false, false}},
      {"on", true, 2000, milliseconds(30000), milliseconds(0), 1, {false, true, true}},
      // Closed by the server while idle: found closed before anything is
      // sent, so replaced without a failed attempt.
      {"server closes idle connections",
       true,
       50,
       milliseconds(30000),
       milliseconds(400),
       3,
       {false, false, false}},
      {"idle past the client's bound",
       true,
       2000,
       milliseconds(50),
       milliseconds(150),
       3,
       {false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server("127.0.0.1", Script::Respond(200, "result=0"));
    server.KeepAlive(10, c.serverIdleMs);
    ASSERT_TRUE(server.Start());
    std::vector<bool> reused;
    for (int i = 0; i < 3; ++i) {
      if (i > 0) std::this_thread::sleep_for(c.pause);
      const HttpAttemptResult result = PerformHttpAttempt(RequestTo(server, c.reuse, c.idle));
      EXPECT_EQ(result.failure, std::nullopt) << HttpFailureName(result.failure);
      EXPECT_EQ(result.body, "result=0");
      reused.push_back(result.reused);
    }
    EXPECT_EQ(server.Connections(), c.connections);
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(reused, c.reused);
  }
}

TEST(ConnectionReuse, RequestThatWentOutIsNeverSentTwice) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "result=0"));
  server.KeepAlive(10, 1000);
  // The second request is read, then the connection closes without a byte.
  server.Enqueue(Script::Respond(200, "result=0"));
  server.Enqueue(Script::Misbehave(Behaviour::kAcceptAndClose));
  ASSERT_TRUE(server.Start());
  const auto request = [&server] { return RequestTo(server, true, std::chrono::seconds(30)); };
  EXPECT_EQ(PerformHttpAttempt(request()).failure, std::nullopt);
  const HttpAttemptResult broken = PerformHttpAttempt(request());
  EXPECT_EQ(broken.failure, AttemptOutcome::kNoResponse) << HttpFailureName(broken.failure);
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Connections(), 1u);
  // The pool is not poisoned: the next attempt gets a new connection.
  EXPECT_EQ(PerformHttpAttempt(request()).failure, std::nullopt);
  EXPECT_EQ(server.Connections(), 2u);
}

TEST(ConnectionReuse, NewTlsConnectionResumesTheSession) {
  testsupport::TempDir dir("proxyhelper-reuse-");
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  for (const bool reuse : {false, true}) {
    SCOPED_TRACE(reuse ? "reuse" : "fresh");
    ScriptedServer server("127.0.0.1", Script::Respond(200, "result=0"));
    // Every answer says "Connection: close": each attempt needs a new one.
    ASSERT_TRUE(server.UseTls(files.certificateFile, files.privateKeyFile));
    ASSERT_TRUE(server.Start());
    for (int i = 0; i < 3; ++i) {
      HttpAttemptRequest request = RequestTo(server, reuse, std::chrono::seconds(30));
      request.secure = true;
      request.caBundle = certificates.CaFile();
      EXPECT_EQ(PerformHttpAttempt(request).failure, std::nullopt);
    }
    EXPECT_EQ(server.Connections(), 3u);
    EXPECT_EQ(server.ResumedHandshakes(), reuse ? 2u : 0u);
  }
}

}  // namespace
