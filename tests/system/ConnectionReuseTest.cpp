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

using std::chrono::milliseconds;
using testsupport::Behaviour;
using testsupport::Script;
using testsupport::ScriptedServer;

HttpAttemptRequest RequestTo(const ScriptedServer& server, bool reuse, milliseconds idle) {
  HttpAttemptRequest request;
  request.host = server.address();
  request.port = server.port();
  request.path = "/vpn_intl/x.php";
  request.body = "Z=cXVlcnk%3D";
  request.connectWindow = milliseconds(2000);
  request.deadline = AttemptClock::now() + std::chrono::seconds(20);
  request.maxBody = 1 << 20;
  request.reuse = reuse;
  request.idle = idle;
  return request;
}

TEST(ConnectionReuse, ConnectionsAreKeptOnlyWhenAskedAndWhileUsableAndTlsResumes) {
  testsupport::TempDir dir("proxyhelper-reuse-");
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  const struct {
    const char* name;
    bool tls;  // every TLS answer says "Connection: close": each attempt needs a new one
    bool reuse;
    int serverIdleMs;  // how long the server keeps an idle connection
    int idleMs, pauseMs;
    std::size_t connections;  // for three attempts
    std::vector<bool> reused;
    std::size_t resumed;  // TLS handshakes that resumed a session
  } cases[] = {
      {"off", false, false, 2000, 30000, 0, 3, {false, false, false}, 0},
      {"on", false, true, 2000, 30000, 0, 1, {false, true, true}, 0},
      // Closed by the server while idle: found closed before anything is
      // sent, so replaced without a failed attempt.
      {"server closes idle connections", false, true, 50, 30000, 400, 3, {false, false, false}, 0},
      {"idle past the client's bound", false, true, 2000, 50, 150, 3, {false, false, false}, 0},
      {"tls, fresh", true, false, 0, 30000, 0, 3, {false, false, false}, 0},
      {"tls, reuse", true, true, 0, 30000, 0, 3, {false, false, false}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server("127.0.0.1", Script::Respond(200, "result=0"));
    if (c.tls) {
      ASSERT_TRUE(server.UseTls(files.certificateFile, files.privateKeyFile));
    } else {
      server.KeepAlive(10, c.serverIdleMs);
    }
    ASSERT_TRUE(server.Start());
    std::vector<bool> reused;
    for (int i = 0; i < 3; ++i) {
      if (i > 0) std::this_thread::sleep_for(milliseconds(c.pauseMs));
      HttpAttemptRequest request = RequestTo(server, c.reuse, milliseconds(c.idleMs));
      request.secure = c.tls;
      if (c.tls) request.caBundle = certificates.CaFile();
      const HttpAttemptResult result = PerformHttpAttempt(request);
      EXPECT_EQ(result.failure, std::nullopt) << HttpFailureName(result.failure);
      EXPECT_EQ(result.body, "result=0");
      reused.push_back(result.reused);
    }
    EXPECT_EQ(server.Connections(), c.connections);
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(reused, c.reused);
    EXPECT_EQ(server.ResumedHandshakes(), c.resumed);
  }
}

TEST(ConnectionReuse, RequestThatWentOutIsNeverSentTwice) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "result=0"));
  server.KeepAlive(10, 1000);
  // The second request is read, then the connection closes without a byte.
  server.Enqueue(Script::Respond(200, "result=0"));
  server.Enqueue(Script::Misbehave(Behaviour::kAcceptAndClose));
  ASSERT_TRUE(server.Start());
  const auto attempt = [&server] { return PerformHttpAttempt(RequestTo(server, true, milliseconds(30000))); };
  EXPECT_EQ(attempt().failure, std::nullopt);
  const HttpAttemptResult broken = attempt();
  EXPECT_EQ(broken.failure, AttemptOutcome::kNoResponse) << HttpFailureName(broken.failure);
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Connections(), 1u);
  // The pool is not poisoned: the next attempt gets a new connection.
  EXPECT_EQ(attempt().failure, std::nullopt);
  EXPECT_EQ(server.Connections(), 2u);
}

}  // namespace
