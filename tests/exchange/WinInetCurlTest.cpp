// The WinINet-shaped layer over libcurl, driven directly against scripted
// loopback servers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "exchange/ExchangeTestUtil.h"
#include "platform/WinInet.h"
#include "platform/WinInetTestHooks.h"
#include "support/ScriptedServer.h"

namespace {

using exchangetest::AttemptLog;
using testsupport::Behaviour;
using testsupport::Script;
using testsupport::ScriptedServer;

constexpr char kHeaders[] = "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n";

// One internet, connection and request handle, closed in reverse order.
struct Session {
  InternetHandle internet;
  InternetHandle connection;
  InternetHandle request;

  Session(const std::string& host, int port, const std::string& object, DWORD flags = 0,
          const char* agent = "LayerTest/1", const char* verb = "POST") {
    internet.reset(InternetOpenA(agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    connection.reset(InternetConnectA(internet.get(), host.c_str(), static_cast<INTERNET_PORT>(port), nullptr,
                                      nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    request.reset(
        HttpOpenRequestA(connection.get(), verb, object.c_str(), nullptr, nullptr, nullptr, flags, 0));
  }

  void SetOption(HINTERNET handle, DWORD option, DWORD value) {
    ASSERT_TRUE(InternetSetOptionA(handle, option, &value, sizeof value));
  }

  BOOL Send(const std::string& body, const char* headers = kHeaders,
            DWORD headersLength = sizeof(kHeaders) - 1) {
    std::string copy = body;
    return HttpSendRequestA(request.get(), headers, headersLength, copy.empty() ? nullptr : &copy[0],
                            static_cast<DWORD>(copy.size()));
  }

  DWORD Status() {
    DWORD status = 0;
    DWORD length = sizeof status;
    EXPECT_TRUE(HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                               &length, nullptr));
    EXPECT_EQ(length, 4u);
    return status;
  }

  // Reads in chunks of `chunk` bytes until the end or a failing read (at most
  // 10000 reads); `clean` tells which of the two ended it.
  std::string ReadAll(DWORD chunk, bool* clean) {
    std::string body;
    std::vector<char> buffer(chunk);
    *clean = false;
    for (int reads = 0; reads < 10000; ++reads) {
      DWORD got = 12345;
      if (!InternetReadFile(request.get(), buffer.data(), chunk, &got)) {
        EXPECT_EQ(got, 0u);
        return body;
      }
      EXPECT_LE(got, chunk);
      if (got == 0) {
        *clean = true;
        return body;
      }
      body.append(buffer.data(), got);
    }
    ADD_FAILURE() << "read loop did not end";
    return body;
  }
};

TEST(WinInetUrl, BuildsUrlsFromHostPortAndObject) {
  struct Case {
    std::string host;
    INTERNET_PORT port;
    std::string object;
    bool secure;
    std::string url;
  };
  const Case cases[] = {
      {"127.0.0.1", 8080, "/vpn_intl/loginin.php", false, "http://127.0.0.1:8080/vpn_intl/loginin.php"},
      {"accounts.example", 80, "/a", false, "http://accounts.example:80/a"},
      {"::1", 8443, "/x", false, "http://[::1]:8443/x"},
      {"fe80::1:2", 1, "/", true, "https://[fe80::1:2]:1/"},
      {"host", 0, "/p", false, "http://host:80/p"},
      {"host", 0, "/p", true, "https://host:443/p"},
      {"host", 81, "", false, "http://host:81/"},
      {"host", 81, "relative.php", false, "http://host:81/relative.php"},
      {"host", 81, "/a b#c\xC3\xA9?q=1", false, "http://host:81/a%20b%23c%C3%A9?q=1"},
      // Anything that is not a plain name or address literal gives no URL.
      {"", 80, "/", false, ""},
      {"user@host", 80, "/", false, ""},
      {"host/evil", 80, "/", false, ""},
      {"[::1]", 80, "/", false, ""},
      {"::1%eth0", 80, "/", false, ""},
      {"host name", 80, "/", false, ""},
      {"host", 80, "/line\r\nX-Injected: 1", false, ""},
      {"host", 80, std::string("/zero\0byte", 10), false, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildWinInetUrl(c.host, c.port, c.object, c.secure), c.url) << c.host << " " << c.object;
  }
}

TEST(WinInetHandles, RefusesUnknownWrongKindAndClosedHandles) {
  EXPECT_FALSE(InternetCloseHandle(nullptr));
  int notAHandle = 0;
  EXPECT_FALSE(InternetCloseHandle(&notAHandle));

  HINTERNET internet = InternetOpenA("x", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  ASSERT_NE(internet, nullptr);
  // A request cannot be opened on an internet handle, nor a connection on a connection.
  EXPECT_EQ(HttpOpenRequestA(internet, "POST", "/", nullptr, nullptr, nullptr, 0, 0), nullptr);
  HINTERNET connection =
      InternetConnectA(internet, "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(InternetConnectA(connection, "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
            nullptr);
  // Not a request: nothing to send, query or read.
  EXPECT_FALSE(HttpSendRequestA(connection, nullptr, 0, nullptr, 0));
  DWORD value = 0, length = 4, got = 0;
  char buffer[4];
  EXPECT_FALSE(
      HttpQueryInfoA(connection, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value, &length, nullptr));
  EXPECT_FALSE(InternetReadFile(connection, buffer, sizeof buffer, &got));

  EXPECT_TRUE(InternetCloseHandle(connection));
  EXPECT_FALSE(InternetCloseHandle(connection));  // already closed
  EXPECT_EQ(InternetConnectA(connection, "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
            nullptr);
  EXPECT_TRUE(InternetCloseHandle(internet));
  EXPECT_FALSE(InternetSetOptionA(internet, INTERNET_OPTION_CONNECT_TIMEOUT, &value, 4));
}

TEST(WinInetHandles, RefusesWhatTheLayerCannotHonour) {
  // Proxies, credentials, services other than HTTP, odd hosts and verbs.
  EXPECT_EQ(InternetOpenA("x", 3, "127.0.0.1:3128", nullptr, 0), nullptr);
  EXPECT_EQ(InternetOpenA("x", INTERNET_OPEN_TYPE_DIRECT, "127.0.0.1:3128", nullptr, 0), nullptr);
  InternetHandle internet(InternetOpenA(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  ASSERT_TRUE(internet);
  EXPECT_EQ(InternetConnectA(internet.get(), "127.0.0.1", 80, "user", "pw", INTERNET_SERVICE_HTTP, 0, 0),
            nullptr);
  EXPECT_EQ(InternetConnectA(internet.get(), "127.0.0.1", 80, nullptr, nullptr, 1, 0, 0), nullptr);
  EXPECT_EQ(InternetConnectA(internet.get(), "a@b", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
            nullptr);
  EXPECT_EQ(InternetConnectA(internet.get(), nullptr, 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0),
            nullptr);
  InternetHandle connection(
      InternetConnectA(internet.get(), "127.0.0.1", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  ASSERT_TRUE(connection);
  EXPECT_EQ(HttpOpenRequestA(connection.get(), "PO ST", "/", nullptr, nullptr, nullptr, 0, 0), nullptr);
  EXPECT_EQ(HttpOpenRequestA(connection.get(), "POST\r\nX: y", "/", nullptr, nullptr, nullptr, 0, 0),
            nullptr);

  DWORD value = 100;
  EXPECT_FALSE(InternetSetOptionA(internet.get(), INTERNET_OPTION_SEND_TIMEOUT, &value, 4));
  EXPECT_FALSE(InternetSetOptionA(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &value, 2));
  EXPECT_FALSE(InternetSetOptionA(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, nullptr, 4));
}

TEST(WinInetOptions, NearestHandleWins) {
  AttemptLog log;
  const int port = testsupport::ReserveClosedPort("127.0.0.1");
  Session s("127.0.0.1", port, "/o");
  ASSERT_TRUE(s.request);
  s.SetOption(s.internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, 700);
  s.SetOption(s.internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 1700);
  s.SetOption(s.internet.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, 2700);
  s.SetOption(s.internet.get(), INTERNET_OPTION_MAX_RESPONSE_BODY, 3700);
  s.SetOption(s.connection.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 1800);
  s.SetOption(s.connection.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, 2800);
  s.SetOption(s.request.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, 2900);
  const std::uint64_t wideBound = 5000000000ull;  // the body bound also takes 8 bytes
  ASSERT_TRUE(InternetSetOptionA(s.request.get(), INTERNET_OPTION_MAX_RESPONSE_BODY,
                                 const_cast<std::uint64_t*>(&wideBound), sizeof wideBound));
  EXPECT_FALSE(s.Send("Z="));  // the port is closed

  const auto attempts = log.Attempts();
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0].url, "http://127.0.0.1:" + std::to_string(port) + "/o");
  EXPECT_EQ(attempts[0].verb, "POST");
  EXPECT_EQ(attempts[0].connectTimeoutMs, 700u);
  EXPECT_EQ(attempts[0].stallTimeoutMs, 1800u);
  EXPECT_EQ(attempts[0].transferTimeoutMs, 2900u);
  EXPECT_EQ(attempts[0].maxResponseBody, wideBound);
  EXPECT_TRUE(attempts[0].followRedirects);
}

TEST(WinInetSend, RefusedConnectionFailsAndLeavesNothingToRead) {
  Session s("127.0.0.1", testsupport::ReserveClosedPort("127.0.0.1"), "/x");
  ASSERT_TRUE(s.request);
  EXPECT_FALSE(s.Send("Z=abc"));
  DWORD status = 0, length = 4, got = 7;
  char buffer[8];
  EXPECT_FALSE(HttpQueryInfoA(s.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                              &length, nullptr));
  EXPECT_FALSE(InternetReadFile(s.request.get(), buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
}

TEST(WinInetSend, DeliversStatusLengthAndBodyInChunks) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "hello"));
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/vpn_intl/x.php");
  ASSERT_TRUE(s.Send("Z=abc"));
  EXPECT_EQ(s.Status(), 200u);

  DWORD length = 0, size = 2;
  EXPECT_FALSE(HttpQueryInfoA(s.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                              &size, nullptr));
  EXPECT_EQ(size, 4u);  // too small a buffer: the needed size is reported
  size = 4;
  ASSERT_TRUE(HttpQueryInfoA(s.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                             &size, nullptr));
  EXPECT_EQ(length, 5u);
  EXPECT_FALSE(HttpQueryInfoA(s.request.get(), 1 /* raw headers: not offered */, &length, &size, nullptr));

  std::vector<std::string> pieces;
  for (int i = 0; i < 10; ++i) {
    char buffer[2];
    DWORD got = 0;
    ASSERT_TRUE(InternetReadFile(s.request.get(), buffer, sizeof buffer, &got));
    if (got == 0) break;
    pieces.emplace_back(buffer, got);
  }
  EXPECT_EQ(pieces, (std::vector<std::string>{"he", "ll", "o"}));
  DWORD got = 9;
  char buffer[2];
  EXPECT_TRUE(InternetReadFile(s.request.get(), buffer, sizeof buffer, &got));  // still clean
  EXPECT_EQ(got, 0u);
}

TEST(WinInetSend, SendsBodyAndHeadersExactly) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "ok"));
  ASSERT_TRUE(server.Start());
  std::string body("A=\x00\x01\xFF%2B+&=", 10);
  // Large enough that libcurl would otherwise ask for "100-continue".
  for (int i = 0; i < 1536 * 1024; ++i) body.push_back(static_cast<char>(i * 7));
  Session s("127.0.0.1", server.port(), "/p.php");
  ASSERT_TRUE(s.Send(body));

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.requestLine, "POST /p.php HTTP/1.1");
  EXPECT_EQ(r.body, body);
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.HeaderCount("Content-Type"), 1u);
  EXPECT_EQ(r.Header("Accept"), "*/*");
  EXPECT_EQ(r.HeaderCount("Accept"), 1u);
  EXPECT_EQ(r.Header("Host"), server.HostPort());
  EXPECT_EQ(r.Header("User-Agent"), "LayerTest/1");
  EXPECT_FALSE(r.HasHeader("Expect"));
  EXPECT_FALSE(r.HasHeader("Transfer-Encoding"));
}

TEST(WinInetSend, HeaderTextForms) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "ok"));
  ASSERT_TRUE(server.Start());
  {
    // No agent: no User-Agent header. Length -1: the text runs to its zero byte.
    // Lone LF and CR end lines too, so nothing rides along inside a header.
    Session s("127.0.0.1", server.port(), "/a", 0, nullptr);
    const char headers[] = "X-One: 1\nX-Two: 2\rX-Three: 3\r\n\r\n";
    ASSERT_TRUE(s.Send("b", headers, static_cast<DWORD>(-1)));
  }
  {
    // An explicit length cuts the text short.
    Session s("127.0.0.1", server.port(), "/b");
    ASSERT_TRUE(s.Send("b", "X-Kept: yes\r\nX-Cut: no\r\n", 13));
  }
  {
    // A line that is not a header is refused before anything is sent.
    Session s("127.0.0.1", server.port(), "/c");
    EXPECT_FALSE(s.Send("b", "not a header\r\n", static_cast<DWORD>(-1)));
  }
  {
    // An agent with a line break cannot inject a header.
    Session s("127.0.0.1", server.port(), "/d", 0, "Agent\r\nX-Evil: 1");
    ASSERT_TRUE(s.Send("b", nullptr, 0));
  }
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_FALSE(requests[0].HasHeader("User-Agent"));
  EXPECT_EQ(requests[0].Header("X-One"), "1");
  EXPECT_EQ(requests[0].Header("X-Two"), "2");
  EXPECT_EQ(requests[0].Header("X-Three"), "3");
  EXPECT_EQ(requests[1].Header("X-Kept"), "yes");
  EXPECT_FALSE(requests[1].HasHeader("X-Cut"));
  EXPECT_EQ(requests[2].target, "/d");
  EXPECT_EQ(requests[2].Header("User-Agent"), "AgentX-Evil: 1");
  EXPECT_FALSE(requests[2].HasHeader("X-Evil"));
}

TEST(WinInetSend, ParentsClosedFirstDoNotBreakTheRequest) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "still here"));
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/x");
  ASSERT_TRUE(s.request);
  EXPECT_TRUE(InternetCloseHandle(s.internet.release()));
  EXPECT_TRUE(InternetCloseHandle(s.connection.release()));
  ASSERT_TRUE(s.Send("Z="));
  EXPECT_EQ(s.Status(), 200u);
  bool clean = false;
  EXPECT_EQ(s.ReadAll(64, &clean), "still here");
  EXPECT_TRUE(clean);
}

TEST(WinInetSend, CloseDelimitedBodyEndsCleanlyWithoutLength) {
  Script script = Script::Respond(200, std::string(20000, 'q'));
  script.closeDelimited = true;
  ScriptedServer server("127.0.0.1", script);
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/x");
  ASSERT_TRUE(s.Send("Z="));
  DWORD length = 0, size = 4;
  EXPECT_FALSE(HttpQueryInfoA(s.request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length,
                              &size, nullptr));
  bool clean = false;
  EXPECT_EQ(s.ReadAll(8192, &clean), std::string(20000, 'q'));
  EXPECT_TRUE(clean);
}

TEST(WinInetSend, StatusOtherThan200IsReportedWithoutItsBody) {
  Script script = Script::Respond(404, std::string(100000, 'n'));
  ScriptedServer server("127.0.0.1", script);
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/missing");
  ASSERT_TRUE(s.Send("Z="));
  EXPECT_EQ(s.Status(), 404u);
  bool clean = true;
  EXPECT_EQ(s.ReadAll(8192, &clean), "");
  EXPECT_FALSE(clean);  // the body was dropped, so its end is not a clean one
}

// Headers arrived with 200, then the body broke off: the send succeeds and the
// bytes that came are readable, but the read ends in failure, not cleanly.
TEST(WinInetSend, BrokenBodiesEndInAFailingRead) {
  struct Case {
    const char* name;
    Script script;
    DWORD stallMs;
    DWORD maxBody;
    std::string delivered;  // what the reads hand out before failing
    bool prefixOnly;        // timing decides how much of `delivered` gets through
  };
  const std::string body = "0123456789abcdefghij";
  // Each server recovers after its stall: only the stall bound can fail it.
  Script stall = Script::Misbehave(Behaviour::kStallMidBody, body, 5);
  stall.stallMs = 3000;
  Script overBound = Script::Respond(200, body);
  overBound.closeDelimited = true;  // no announced length: caught while receiving
  const Case cases[] = {
      {"cut short", Script::Misbehave(Behaviour::kCloseMidBody, body, 7), 0, 0, body.substr(0, 7), false},
      {"reset", Script::Misbehave(Behaviour::kResetMidBody, body, 4), 0, 0, body.substr(0, 4), true},
      {"bad chunk", Script::Misbehave(Behaviour::kBrokenChunked, body, 6), 0, 0, body.substr(0, 6), false},
      {"stalled", stall, 300, 0, body.substr(0, 5), false},
      {"announced over bound", Script::Respond(200, body), 0, 19, "", false},
      {"received over bound", overBound, 0, 19, body.substr(0, 19), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server("127.0.0.1", c.script);
    ASSERT_TRUE(server.Start());
    Session s("127.0.0.1", server.port(), "/x");
    if (c.stallMs != 0) s.SetOption(s.internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, c.stallMs);
    if (c.maxBody != 0) s.SetOption(s.internet.get(), INTERNET_OPTION_MAX_RESPONSE_BODY, c.maxBody);
    ASSERT_TRUE(s.Send("Z="));
    EXPECT_EQ(s.Status(), 200u);
    bool clean = true;
    const std::string got = s.ReadAll(8192, &clean);
    EXPECT_FALSE(clean);
    if (c.prefixOnly) {
      EXPECT_LE(got.size(), c.delivered.size());
      EXPECT_EQ(got, c.delivered.substr(0, got.size()));
    } else {
      EXPECT_EQ(got, c.delivered);
    }
  }
}

TEST(WinInetSend, BodyExactlyAtTheBoundIsWhole) {
  const std::string body(19, 'b');
  for (bool closeDelimited : {false, true}) {
    Script script = Script::Respond(200, body);
    script.closeDelimited = closeDelimited;
    ScriptedServer server("127.0.0.1", script);
    ASSERT_TRUE(server.Start());
    Session s("127.0.0.1", server.port(), "/x");
    s.SetOption(s.request.get(), INTERNET_OPTION_MAX_RESPONSE_BODY, 19);
    ASSERT_TRUE(s.Send("Z="));
    bool clean = false;
    EXPECT_EQ(s.ReadAll(8192, &clean), body);
    EXPECT_TRUE(clean) << closeDelimited;
  }
}

// No complete header block of a final response: the send itself fails.
TEST(WinInetSend, NoResponseHeadersMeansSendFails) {
  struct Case {
    const char* name;
    Script script;
  };
  Script partialHeaders = Script::Misbehave(Behaviour::kRaw);
  partialHeaders.raw = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n";
  Script garbage = Script::Misbehave(Behaviour::kRaw);
  garbage.raw = "this is not http at all\r\n\r\n";
  Script silent = Script::Misbehave(Behaviour::kSilent, "late");
  silent.stallMs = 3000;  // then it answers: only the stall bound can fail it
  const Case cases[] = {
      {"accept and close", Script::Misbehave(Behaviour::kAcceptAndClose)},
      {"headers cut", partialHeaders},
      {"no status line", garbage},
      {"silent", silent},
      {"redirect loop", Script::Misbehave(Behaviour::kRedirectLoop)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server("127.0.0.1", c.script);
    ASSERT_TRUE(server.Start());
    Session s("127.0.0.1", server.port(), "/x");
    s.SetOption(s.internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 300);
    EXPECT_FALSE(s.Send("Z="));
    DWORD status = 0, length = 4;
    EXPECT_FALSE(HttpQueryInfoA(s.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                                &length, nullptr));
    EXPECT_GE(server.Requests().size(), 1u);
  }
}

TEST(WinInetSend, WholeTransferBoundStopsATrickle) {
  Script trickle = Script::Misbehave(Behaviour::kTrickle, std::string(60, 't'));
  trickle.intervalMs = 50;  // 3 s for the whole body; steady progress, never a stall
  ScriptedServer server("127.0.0.1", trickle);
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/x");
  s.SetOption(s.internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, 5000);
  s.SetOption(s.internet.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, 600);
  ASSERT_TRUE(s.Send("Z="));
  bool clean = true;
  const std::string got = s.ReadAll(8192, &clean);
  EXPECT_FALSE(clean);
  EXPECT_LT(got.size(), 60u);
}

TEST(WinInetRedirect, FollowedAsGetLikeWinInet) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "moved here"));
  Script redirect = Script::Respond(302, "");
  redirect.headers.emplace_back("Location", "/next?x=1");
  server.Enqueue(redirect);
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/start");
  ASSERT_TRUE(s.Send("Z=abc"));
  EXPECT_EQ(s.Status(), 200u);
  bool clean = false;
  EXPECT_EQ(s.ReadAll(100, &clean), "moved here");
  EXPECT_TRUE(clean);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine, "POST /start HTTP/1.1");
  EXPECT_EQ(requests[1].requestLine, "GET /next?x=1 HTTP/1.1");
  EXPECT_EQ(requests[1].body, "");
}

TEST(WinInetRedirect, NotFollowedWhenTheRequestSaysSo) {
  ScriptedServer server("127.0.0.1", Script::Misbehave(Behaviour::kRedirectLoop));
  ASSERT_TRUE(server.Start());
  Session s("127.0.0.1", server.port(), "/start", INTERNET_FLAG_NO_AUTO_REDIRECT);
  ASSERT_TRUE(s.Send("Z="));
  EXPECT_EQ(s.Status(), 302u);
  EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
