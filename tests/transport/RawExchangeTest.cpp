// The raw exchange against loopback servers: the caller's bytes go out as
// given, the answer comes back within the body bound, every attempt is
// traced like an operation's, and nothing shared moves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/Exchange.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"
#include "transport/AttemptTraceSink.h"
#include "transport/RawExchange.h"

namespace {

using namespace testsupport;

// One raw exchange of "Z=abc%3D" to getversion.php, and the attempts it traced.
struct Posted {
  RawExchangeReply result;
  std::vector<AttemptTrace> traced;
};

Posted Post(const std::string& server) {
  Posted posted;
  AttemptTraceSink sink;
  sink.Subscribe([&posted](const AttemptTrace& attempt) { posted.traced.push_back(attempt); });
  const OperationContext context(OperationContext::Clock::now() + std::chrono::seconds(60),
                                 CancelToken::Never(), &sink);
  posted.result = PostRawBody(context, server, "getversion.php", "Z=abc%3D");
  return posted;
}

// A reply of exactly `size` bytes that parses: the reply, a zero byte, filler.
std::string ReplyOfSize(std::size_t size) {
  std::string reply = UnkeyedReply("result=0\nver=7\n");
  const std::size_t end = reply.size();
  reply.resize(size, 'f');
  reply[end] = '\0';
  return reply;
}

TEST(RawExchange, EachAnswerComesBackAsTheTraceWordsIt) {
  constexpr std::size_t kBound = 64 * 1024;
  GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", static_cast<int>(kBound));
  struct Case {
    const char* name;
    Script script;
    AttemptOutcome outcome;
    int status;
    bool bodyBack;
  };
  Script endless = Script::Misbehave(Behaviour::kHugeBody);
  endless.hugeBytes = 1ull << 32;
  Script endlessUnannounced = endless;
  endlessUnannounced.closeDelimited = true;
  Script endlessChunked = endless;
  endlessChunked.chunked = true;
  const Case cases[] = {
      {"success", Script::Respond(200, UnkeyedReply("result=0\nver=7\n")), AttemptOutcome::kParsed, 200,
       true},
      {"refusal", Script::Respond(200, UnkeyedReply("result=3\nerrdesc=no\n")),
       AttemptOutcome::kRefusedByService, 200, true},
      {"not a reply", Script::Respond(200, "<html>maintenance</html>"), AttemptOutcome::kUnparsable, 200,
       true},
      {"body at the bound", Script::Respond(200, ReplyOfSize(kBound)), AttemptOutcome::kParsed, 200, true},
      {"body one over", Script::Respond(200, ReplyOfSize(kBound + 1)), AttemptOutcome::kBodyTooBig, 200,
       false},
      {"endless, announced", endless, AttemptOutcome::kBodyTooBig, 200, false},
      {"endless, unannounced", endlessUnannounced, AttemptOutcome::kBodyTooBig, 200, false},
      {"endless, chunked", endlessChunked, AttemptOutcome::kBodyTooBig, 200, false},
      {"status 500", Script::Respond(500, "oops"), AttemptOutcome::kHttpStatus, 500, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server("127.0.0.1", c.script);
    ASSERT_TRUE(server.Start());
    const Posted posted = Post(server.HostPort());
    EXPECT_EQ(posted.result.outcome, c.outcome) << AttemptOutcomeName(posted.result.outcome);
    EXPECT_EQ(posted.result.httpStatus, c.status);
    EXPECT_EQ(posted.result.body, c.bodyBack ? c.script.body : std::string());
    // The endless bodies were left soon after the bound, whatever the framing.
    EXPECT_LT(server.HugeBytesSent(), 64ull * 1024 * 1024);
    ASSERT_EQ(posted.traced.size(), 1u);
    EXPECT_EQ(posted.traced[0].outcome, c.outcome);
    EXPECT_EQ(posted.traced[0].script, "getversion.php");
    EXPECT_EQ(posted.traced[0].port, server.port());
    const std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /vpn_intl/getversion.php HTTP/1.1");
    EXPECT_EQ(requests[0].body, "Z=abc%3D");
  }
  GlobalCache::Instance().RemoveConfigItem("GC_HTTP_MAX_BODY");
}

TEST(RawExchange, EntriesAndTheSharedPosition) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, UnkeyedReply("result=0\n")));
  ASSERT_TRUE(server.Start());
  const std::string closed = ClosedServer("127.0.0.1");
  struct Case {
    const char* name;
    std::string entry;
    bool httpsOnly;
    AttemptOutcome outcome;
    std::size_t requests;  // what reached the scripted server
    std::string tracedHost;
  };
  const Case cases[] = {
      {"the entry given", server.HostPort(), false, AttemptOutcome::kParsed, 1, "127.0.0.1"},
      // The list's current entry is the closed port: no failover to the next.
      {"the current entry", "", false, AttemptOutcome::kRefused, 0, "127.0.0.1"},
      {"a closed port", closed, false, AttemptOutcome::kRefused, 0, "127.0.0.1"},
      {"port out of range", "127.0.0.1:99999", false, AttemptOutcome::kSetupFailed, 0, "127.0.0.1:99999"},
      {"two entries", server.HostPort() + ";" + server.HostPort(), false, AttemptOutcome::kSetupFailed, 0,
       server.HostPort() + ";" + server.HostPort()},
      {"plain under https only", server.HostPort(), true, AttemptOutcome::kSetupFailed, 0, "127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseServers({closed, server.HostPort()});
    GlobalCache::Instance().SetConfigItem("GC_HTTPS_ONLY", c.httpsOnly ? 1 : 0);
    const std::size_t before = server.Requests().size();
    const Posted posted = Post(c.entry);
    EXPECT_EQ(posted.result.outcome, c.outcome) << AttemptOutcomeName(posted.result.outcome);
    EXPECT_EQ(server.Requests().size() - before, c.requests);
    ASSERT_EQ(posted.traced.size(), 1u);
    EXPECT_EQ(posted.traced[0].outcome, c.outcome);
    EXPECT_EQ(posted.traced[0].host, c.tracedHost);
    // Neither a failure nor a reply moves the list's position.
    EXPECT_EQ(CurrentServer(), closed);
  }
  GlobalCache::Instance().RemoveConfigItem("GC_HTTPS_ONLY");
}

}  // namespace
