// A running `connect` owns the account's session: the other subcommands use
// it through the session socket instead of signing in (which would end it),
// `status` shows it and `disconnect` ends it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <thread>

#include "cli/CliFixture.h"
#include "hostlib/quillon.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/SessionClient.h"
#include "tools/cli/SessionServer.h"
#include "tools/cli/SessionSocket.h"

namespace clitest {
namespace {

using ::testing::AllOf;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

proxycli::SteadyClock::time_point In(int seconds) {
  return proxycli::SteadyClock::now() + std::chrono::seconds(seconds);
}

// A fresh connection to the socket at `path`; not valid when none was made.
proxycli::OwnedDescriptor Dial(const std::string& path) {
  proxycli::OwnedDescriptor socket;
  std::string error;
  if (proxycli::DialSessionSocket(path, &socket, &error) != proxycli::DialStatus::kConnected) return {};
  return socket;
}

// {"op":`op`} on a fresh connection, and the first `lines` lines answering it.
std::vector<std::string> Exchange(const std::string& path, const std::string& op, std::size_t lines) {
  proxycli::OwnedDescriptor socket = Dial(path);
  if (!socket.valid()) return {};
  proxycli::LineChannel channel(std::move(socket));
  const auto deadline = In(20);
  if (!proxycli::WriteAllBefore(channel.fd(), "{\"op\":\"" + op + "\"}\n", deadline)) return {};
  std::vector<std::string> answer;
  std::string line;
  while (answer.size() < lines && channel.Next(1 << 20, deadline, &line) == proxycli::LineStatus::kLine) {
    answer.push_back(line);
  }
  return answer;
}

// The first line answering {"op":`op`}; empty when none came.
std::string Ask(const std::string& path, const std::string& op) {
  const std::vector<std::string> lines = Exchange(path, op, 1);
  return lines.empty() ? std::string() : lines[0];
}

// Where the socket for `user` on `servers` belongs, its directory made.
void MakePlace(const std::string& servers, const std::string& user, proxycli::SessionSocketPlace* place) {
  *place = proxycli::LocateSessionSocket(servers, user, /*create=*/true);
  ASSERT_EQ(place->kind, proxycli::SessionSocketPlace::Kind::kUsable) << place->problem;
}

// A socket nobody listens on, as a killed connect leaves it.
bool PlantStaleSocket(const std::string& path) {
  proxycli::OwnedDescriptor stale(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return ::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class ConnectSessionTest : public CliTest {
 protected:
  // `connect` for `account` (carol when empty) as a program of its own,
  // holding its lease.
  void StartConnect(ChildProcess* connect, std::vector<std::string> account = {}, const char* id = "7") {
    if (account.empty()) account = Carol({});
    account.insert(account.end(), {"--json", "connect", "--server-id", id, "--interval", "1"});
    ASSERT_TRUE(connect->SpawnWithPipes(account));
    ASSERT_TRUE(connect->WaitForOutput("\"event\":\"handshake\"")) << connect->errors();
  }
  // `disconnect` (carol's when `args` is empty) succeeds and connect ends well.
  void Disconnect(std::vector<std::string> args = {}, ChildProcess* connect = nullptr) {
    if (connect == nullptr) connect = &connect_;
    RunExpecting(0, args.empty() ? Carol({"disconnect"}) : args);
    EXPECT_EQ(connect->Wait(), 0) << connect->errors();
  }
  int SignIns() const {
    const std::vector<std::string> requests = Requests();
    return static_cast<int>(std::count(requests.begin(), requests.end(), "loginin.php -> result=0: parsed"));
  }
  proxycli::SessionSocketPlace Place() const {
    return proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/false);
  }

  ChildProcess connect_;
};

TEST_F(ConnectSessionTest, SubcommandsUseTheSessionUntilDisconnect) {
  // Texts that need escaping, and 8-bit bytes that are not UTF-8.
  StartService(false, std::string(kSeed) +
                          "[group:Z\xe9ta \"q\"]\n5=Back\\slash \"5\" \xff\x01,z5.example,1,Z\xfcrich\n");
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect_));
  ASSERT_EQ(SignIns(), 1);
  const proxycli::SessionSocketPlace place = Place();
  EXPECT_EQ(ModeOf(place.directory), 0700u);
  EXPECT_EQ(ModeOf(place.socketPath), 0600u);

  EXPECT_THAT(RunExpecting(0, Carol({"account"})).out, StartsWith("account\n"));
  ExpectFields(Run(Carol({"--json", "account"})).Json(), {{"/user/moneyleft", 42}});
  EXPECT_FALSE(RunExpecting(0, Carol({"--json", "ratio"})).Json()["ratios"].empty());
  const Outcome lentServers = RunExpecting(0, Carol({"--json", "servers"}));
  const Outcome lentText = Run(Carol({"servers"}));
  EXPECT_THAT(lentText.out, HasSubstr("Back\\slash"));
  // The catalogue comes record by record: the groups in byte order, each
  // followed by its records, every line JSON.
  const std::vector<std::string> lines = Exchange(place.socketPath, "servers", 9);
  ASSERT_EQ(lines.size(), 9u);
  ExpectFields(nlohmann::json::parse(lines[0]),
               {{"exit_status", 0}, {"catalogue", "lines"}, {"/data/catalogue", nullptr}});
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{
                "{\"group\":\"Alpha\"}",
                "[\"9\",\"Alpha 9,a9.example,1,Elsewhere\"]",
                "{\"group\":\"Z\xc3\xa9ta \\\"q\\\"\"}",
                "[\"5\",\"Back\\\\slash \\\"5\\\" \xc3\xbf\\u0001,z5.example,1,Z\xc3\xbcrich\"]",
                "{\"group\":\"beta\"}",
                "[\"7\",\"Beta 7,b7.example,2,Here\"]",
                "[\"8\",\"Beta 8,b8.example,1,There\"]",
                "{\"end\":true,\"groups\":3,\"records\":4}",
            }));
  for (const std::string& line : lines)
    EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded());

  const Outcome status = RunExpecting(0, Carol({"status"}));
  EXPECT_THAT(status.out, HasSubstr("server 7 as lend7, up "));
  EXPECT_THAT(status.out, Not(HasSubstr("pw7"))) << "the password stays with connect";
  const std::string address = server_.LiveAddress();
  const nlohmann::json statusDoc = Run(Carol({"--json", "status"})).Json();
  ExpectFields(statusDoc, {{"server_id", 7},
                           {"lendusername", "lend7"},
                           {"account_server", "http://" + address},
                           {"/last_handshake/result", 0}});
  EXPECT_GE(statusDoc["handshakes_ok"].get<int>(), 1);

  // Any spelling of the servers finds the connect; another port is another service.
  for (const std::string& spelling :
       {"http://" + address, " " + address + " ", "HTTP://" + address + "/", address + ";" + address}) {
    EXPECT_THAT(RunExpecting(0, {"--servers", spelling, "--user", "carol", "status"}).out,
                HasSubstr("for carol on http://" + address + ": server 7"));
    RunExpecting(0, {"--servers", spelling, "--user", "carol", "--password", "carol-pw", "account"});
  }
  EXPECT_THAT(RunExpecting(1, {"--servers", "127.0.0.1:1", "--user", "carol", "status"}).err,
              HasSubstr("no connect running for carol on http://127.0.0.1:1"));

  // None of that signed in again, so connect's session still holds.
  EXPECT_EQ(SignIns(), 1);
  const std::string next = "\"handshakes_ok\":" + std::to_string(statusDoc["handshakes_ok"].get<int>() + 1);
  EXPECT_TRUE(connect_.WaitForOutput(next, std::chrono::seconds(3))) << connect_.output();

  EXPECT_EQ(RunExpecting(0, {"--servers", "http://" + address + "/", "--user", "carol", "disconnect"}).out,
            "connect released server 7 and signed out\n");
  // Confirmed means done: released and signed out before the answer.
  EXPECT_GE(LastRequest("logout.php -> result=0: parsed"), 0);
  EXPECT_EQ(connect_.Wait(), 0) << connect_.errors();
  EXPECT_THAT(connect_.output(), AllOf(HasSubstr("\"stop_reason\":\"disconnect requested\""),
                                       Not(HasSubstr("\"handshakes_failed\":1"))));
  EXPECT_EQ(ModeOf(place.socketPath), 0u) << "the socket is removed";
  for (const char* command : {"status", "disconnect"}) {
    EXPECT_THAT(RunExpecting(1, Carol({command})).err, HasSubstr("no connect running for carol"));
  }
  // On its own again: its own sign-in, and the same catalogue as through connect.
  EXPECT_EQ(RunExpecting(0, Carol({"--json", "servers"})).out, lentServers.out);
  EXPECT_EQ(SignIns(), 2);
  EXPECT_EQ(Run(Carol({"servers"})).out, lentText.out);
}

// Slow, silent or oversized clients hold up nobody; shell and check, which
// would end connect's session, are refused.
TEST_F(ConnectSessionTest, OtherClientsNeitherStallNorEndConnectsSession) {
  StartService();
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect_));
  const std::string path = Place().socketPath;
  std::vector<proxycli::OwnedDescriptor> silent(64);
  for (proxycli::OwnedDescriptor& socket : silent) {
    socket = Dial(path);
    ASSERT_TRUE(socket.valid());
  }
  // One that sends half a request, one too long a request; neither reads its answer.
  proxycli::OwnedDescriptor half = Dial(path);
  ASSERT_TRUE(proxycli::WriteAllBefore(half.get(), "{\"op\":\"sta", In(2)));
  proxycli::OwnedDescriptor oversized = Dial(path);
  ASSERT_TRUE(
      proxycli::WriteAllBefore(oversized.get(), std::string(proxycli::kMaxRequestBytes + 10, 'x'), In(2)));
  const auto start = proxycli::SteadyClock::now();
  RunExpecting(0, Carol({"status"}));
  // At most one request time-out (a silent client's) stands in the way.
  EXPECT_LT(proxycli::SteadyClock::now() - start, proxycli::kRequestReadTimeout + std::chrono::seconds(2));
  for (const char* command : {"account", "ratio"}) RunExpecting(0, Carol({command}));
  std::string answer;
  EXPECT_EQ(proxycli::ReadLineBefore(oversized.get(), 1000, In(5), &answer), proxycli::LineStatus::kLine);
  EXPECT_THAT(answer, HasSubstr("longer than"));
  // Raw requests still get their own answers while the others stay silent.
  EXPECT_THAT(Ask(path, "status"), HasSubstr("\"phase\":\"leased\""));
  EXPECT_THAT(Ask(path, "lease"), HasSubstr("unknown request"));
  // The heartbeat went on meanwhile.
  EXPECT_TRUE(connect_.WaitForOutput("\"handshakes_ok\":3", std::chrono::seconds(5))) << connect_.output();

  const std::string running = "a connect is running for carol on http://" + server_.LiveAddress();
  struct Case {
    std::vector<std::string> args;
    std::string input;
    const char* refused;  // the command named in the message
  };
  const std::vector<Case> cases = {
      {Carol({"shell"}), "version\n", "shell would end its session"},
      {Carol({"--json", "shell"}), "", "shell would end its session"},
      {Carol({"check", "--server-id", "7"}), "", "check would end its session"},
      {{"--servers", "http://" + server_.LiveAddress() + "/", "--user", "carol", "--password", "carol-pw",
        "check"},
       "",
       "check would end its session"},
      // Without -u the shell starts; signing in as carol is what it refuses.
      {{"--servers", server_.LiveAddress(), "shell"},
       "version\nsignin carol carol-pw\n",
       "signin would end its session"},
  };
  for (const Case& c : cases) {
    const std::size_t before = Requests().size();
    EXPECT_THAT(RunExpecting(2, c.args, c.input).err,
                AllOf(HasSubstr(running), HasSubstr(c.refused), HasSubstr("'proxyhelper disconnect'")));
    const std::vector<std::string> after = Requests();
    EXPECT_THAT(std::vector<std::string>(after.begin() + static_cast<std::ptrdiff_t>(before), after.end()),
                Each(Not(HasSubstr("loginin.php"))))
        << c.refused;
  }
  EXPECT_EQ(SignIns(), 1);
  // Another account in the shell is no business of this connect.
  RunExpecting(0, {"--servers", server_.LiveAddress(), "shell"},
               "register erin erin-pw\nsignin erin erin-pw\nsignout\n");
  EXPECT_EQ(SignIns(), 2);
  Disconnect();
  EXPECT_THAT(connect_.output(), Not(HasSubstr("\"handshakes_failed\":1")));
}

TEST_F(ConnectSessionTest, UnsafeDirectoryIsRefused) {
  StartService();
  proxycli::SessionSocketPlace place;
  ASSERT_NO_FATAL_FAILURE(MakePlace(server_.LiveAddress(), "carol", &place));
  struct Case {
    mode_t mode;
    uid_t owner;
    const char* message;
  };
  std::vector<Case> cases = {{0755, ::getuid(), "open to other users"}};
  // Only root can give a directory away.
  if (::getuid() == 0) cases.push_back({0700, 65534, "belongs to uid 65534"});
  for (const Case& c : cases) {
    ASSERT_EQ(::chmod(place.directory.c_str(), c.mode), 0) << c.message;
    ASSERT_EQ(::chown(place.directory.c_str(), c.owner, c.owner == ::getuid() ? ::getgid() : c.owner), 0);
    const std::size_t before = Requests().size();
    EXPECT_THAT(RunExpecting(2, Carol({"connect", "--server-id", "7", "--duration", "1"})).err,
                HasSubstr(c.message));
    EXPECT_EQ(Requests().size(), before) << "refused before anything is sent";
    // The other subcommands do not trust it either, and sign in on their own.
    EXPECT_THAT(RunExpecting(0, Carol({"account"})).err, HasSubstr(c.message));
    ASSERT_EQ(::chmod(place.directory.c_str(), 0700), 0);
    ASSERT_EQ(::chown(place.directory.c_str(), ::getuid(), ::getgid()), 0);
  }
}

TEST_F(ConnectSessionTest, WithoutARuntimeDirectoryConnectRunsAndSaysSoOnce) {
  if (::access(("/run/user/" + std::to_string(::getuid())).c_str(), F_OK) == 0) {
    GTEST_SKIP() << "/run/user/<uid> exists here: the fallback would be used";
  }
  StartService();
  unsetenv("XDG_RUNTIME_DIR");
  const Outcome outcome =
      RunExpecting(0, Carol({"connect", "--server-id", "7", "--interval", "1", "--duration", "0.2"}));
  // Said once.
  EXPECT_THAT(outcome.err, HasSubstr("no session socket"));
  EXPECT_EQ(outcome.err.find("no session socket"), outcome.err.rfind("no session socket")) << outcome.err;
  EXPECT_THAT(outcome.out, HasSubstr("released (duration reached"));
}

TEST(SessionSocketTest, EverySpellingOfTheSameServersIsOneList) {
  struct Case {
    const char* servers;
    const char* canonical;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080"},
      {" 127.0.0.1:8080 ", "http://127.0.0.1:8080"},
      {"HTTP://127.0.0.1:8080/", "http://127.0.0.1:8080"},
      {"127.0.0.1:8080;;127.0.0.1:8080,\t", "http://127.0.0.1:8080"},
      {"Example.COM", "http://example.com:80"},
      {"https://Example.com", "https://example.com:443"},
      {"HtTpS://example.com:443/", "https://example.com:443"},
      {"b.example:81 a.example:80", "http://a.example:80;http://b.example:81"},
      {"a.example:80;b.example:81", "http://a.example:80;http://b.example:81"},
      // No downgrade: the bare entry is the same TLS server.
      {"a.example:8443;https://A.example:8443", "https://a.example:8443"},
      {"[::1]:8080", "http://[::1]:8080"},
      {"http://[FE80::1%Eth0]", "http://[fe80::1%eth0]:80"},
      // What the library skips: other schemes, paths, bad ports, bad hosts.
      {"ftp://a.example;a.example/x;http://a.example/x;a.example:0;a.example:65536;a.example:8o", ""},
      {"::1;[::1;[::1]x;a b@c;http://;https://:443", "http://a:80"},
      {"", ""},
      {" ;, ", ""},
      {"a.example:65535 a.example:0065535", "http://a.example:65535"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(proxycli::CanonicalServerList(c.servers), c.canonical) << c.servers;
    // The same servers the library itself takes from the text.
    CLoginServers& library = CLoginServers::Instance();
    library.Clear();
    std::set<std::string> taken;
    if (library.Parse(c.servers, true) > 0) {
      for (const CLoginServers::Server& server : library.GetServers()) {
        std::string host = server.host;
        std::transform(host.begin(), host.end(), host.begin(), ::tolower);
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        taken.insert((server.secure ? "https://" : "http://") + host + ":" + std::to_string(server.port));
      }
    }
    std::string joined;
    for (const std::string& entry : taken) joined += (joined.empty() ? "" : ";") + entry;
    EXPECT_EQ(joined, c.canonical) << c.servers;
  }
  // The library keeps 64 entries: what follows them does not count.
  std::string many;
  for (int port = 1; port <= 70; ++port) many += "h.example:" + std::to_string(port) + ";";
  const std::string canonical = proxycli::CanonicalServerList(many);
  EXPECT_EQ(std::count(canonical.begin(), canonical.end(), ';'), 63) << canonical;
  EXPECT_EQ(canonical.find("h.example:65"), std::string::npos);
}

TEST_F(ConnectSessionTest, OneConnectPerAccountAndStatusWithoutAUserListsEveryOne) {
  // A second account with a pool of its own, so two connects can run at once.
  StartService(false,
               std::string(kSeed) +
                   "[account:dave]\npassword=dave-pw\nmoneyleft=7\ntimeleft=1 day\n[pool:8]\nlend8=pw8\n");
  // Sockets left behind by connects that were killed: nobody listens, none is listed.
  for (const char* user : {"carol", "erin"}) {
    proxycli::SessionSocketPlace stale;
    ASSERT_NO_FATAL_FAILURE(MakePlace(server_.LiveAddress(), user, &stale));
    ASSERT_TRUE(PlantStaleSocket(stale.socketPath));
  }
  RunExpecting(1, Carol({"status"}));
  EXPECT_THAT(RunExpecting(1, {"status"}).err, HasSubstr("no connect running"));
  EXPECT_EQ(Run({"--json", "status"}).out, "[]\n");

  // The stale socket is replaced; a second connect for the account is refused.
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect_));
  RunExpecting(0, Carol({"status"}));
  EXPECT_THAT(RunExpecting(2, Carol({"connect", "--server-id", "7", "--duration", "5"})).err,
              HasSubstr("already running"));
  EXPECT_EQ(SignIns(), 1);
  // Another account, or another service, has a socket of its own.
  const std::string mine = Place().socketPath;
  EXPECT_NE(proxycli::LocateSessionSocket(server_.LiveAddress(), "dave", false).socketPath, mine);
  EXPECT_NE(
      proxycli::LocateSessionSocket(server_.LiveAddress() + ";backup.example", "carol", false).socketPath,
      mine);
  const std::string live = "http://" + server_.LiveAddress();
  ChildProcess dave;
  ASSERT_NO_FATAL_FAILURE(
      StartConnect(&dave, {"--servers", live, "--user", "dave", "--password", "dave-pw"}, "8"));

  const Outcome text = RunExpecting(0, {"status"});
  EXPECT_THAT(text.out, AllOf(HasSubstr("for carol on " + live + ": server 7 as lend7"),
                              HasSubstr("for dave on " + live + ": server 8 as lend8")));
  EXPECT_EQ(text.err, "");
  const nlohmann::json list = Run({"--json", "status"}).Json();
  ASSERT_TRUE(list.is_array()) << list.dump();
  ASSERT_EQ(list.size(), 2u) << list.dump();
  std::set<std::string> users;
  for (const nlohmann::json& entry : list) {
    users.insert(entry.value("username", ""));
    ExpectFields(entry, {{"servers", live}, {"phase", "leased"}, {"running", true}});
  }
  EXPECT_EQ(users, (std::set<std::string>{"carol", "dave"}));
  // With a user, that account alone, as before.
  ExpectFields(Run(Carol({"--json", "status"})).Json(), {{"username", "carol"}});

  Disconnect();
  ExpectFields(Run({"--json", "status"}).Json(), {{"/0/username", "dave"}, {"/1", nullptr}});
  Disconnect({"--servers", server_.LiveAddress(), "--user", "dave", "disconnect"}, &dave);
  EXPECT_EQ(Run({"status"}).status, 1);
}

// Connect's part for one request, answered with `answer`; then the socket
// is gone, so a cut answer is not retried.
void AnswerOnce(proxycli::SessionListener* listener, const std::string& answer) {
  pollfd entry{listener->fd(), POLLIN, 0};
  if (::poll(&entry, 1, 20000) == 1) {
    const proxycli::OwnedDescriptor connection = listener->Accept();
    std::string request;
    proxycli::ReadLineBefore(connection.get(), 4096, In(20), &request);
    proxycli::WriteAllBefore(connection.get(), answer, In(20));
  }
  listener->Close();
}

TEST_F(CliTest, ABrokenCatalogueFromConnectFailsWhole) {
  const std::string head = "{\"exit_status\":0,\"data\":{},\"text\":\"\",\"catalogue\":\"lines\"}\n";
  const std::string end = "{\"end\":true,\"groups\":1,\"records\":2}\n";
  struct Case {
    const char* what;
    std::string answer;
    const char* message;  // empty: fetched
  };
  const std::vector<Case> cases = {
      {"whole", head + "{\"group\":\"g\\u00e9\"}\n[\"1\",\"a\"]\n[\"2\",\"b\\u00ff\"]\n" + end, ""},
      {"whole, escapes", head + "{\"group\":\"g\xc3\xa9\"}\n[\"1\",\"a\"]\n[\"2\", \"b\xc3\xbf\"]\n" + end,
       ""},
      {"quote in a plain-looking record", head + "{\"group\":\"g\"}\n[\"1\",\"a\"b\"]\n", "bad catalogue"},
      {"three plain strings", head + "{\"group\":\"g\"}\n[\"1\",\"a\",\"b\"]\n", "bad catalogue record"},
      {"cut short", head + "{\"group\":\"g\"}\n[\"1\",\"a\"]\n", "ended early"},
      {"counts differ", head + "{\"group\":\"g\"}\n[\"1\",\"a\"]\n" + end, "does not add up"},
      {"record before group", head + "[\"1\",\"a\"]\n" + end, "bad catalogue record"},
      {"record of three", head + "{\"group\":\"g\"}\n[\"1\",\"a\",\"x\"]\n", "bad catalogue record"},
      {"not a byte", head + "{\"group\":\"g\"}\n[\"1\",\"\\u0100\"]\n", "bad catalogue record"},
      {"garbage line", head + "{\"group\":\"g\"}\nnonsense\n", "bad catalogue line"},
      {"refused by connect", head + "{\"end\":false,\"errdesc\":\"too big\"}\n", "too big"},
      {"no lines announced", "{\"exit_status\":0,\"data\":{},\"text\":\"\"}\n", "no usable catalogue"},
      // Fields of the wrong type are a bad answer, not an exception.
      {"wrong-typed head", "{\"exit_status\":\"0\",\"retry\":1,\"catalogue\":7}\n", "no usable catalogue"},
      {"wrong-typed counts",
       head + "{\"group\":\"g\"}\n[\"1\",\"a\"]\n{\"end\":true,\"groups\":\"1\",\"records\":[]}\n",
       "does not add up"},
      {"head too long", "{\"exit_status\":0,\"text\":\"" + std::string(2u << 20, 'x') + "\"}\n",
       "larger than"},
  };
  proxycli::Settings settings;
  settings.servers = "127.0.0.1:9";
  settings.user = "carol";
  proxycli::SessionSocketPlace place;
  ASSERT_NO_FATAL_FAILURE(MakePlace(settings.servers, settings.user, &place));
  for (const Case& c : cases) {
    StringConsole console;
    proxycli::Report report(console.console, "servers", false);
    ServerCatalogue catalogue;
    proxycli::SessionListener listener;
    std::string error;
    ASSERT_EQ(listener.Open(place, &error), proxycli::SessionListener::Status::kListening) << c.what << error;
    std::thread fake(AnswerOnce, &listener, c.answer);
    const proxycli::LentCatalogue lent = proxycli::CatalogueFromConnect(settings, report, &catalogue);
    fake.join();
    const std::string err = console.err.str();
    if (std::string(c.message).empty()) {
      EXPECT_EQ(lent, proxycli::LentCatalogue::kFetched) << c.what << ": " << err;
      ASSERT_EQ(catalogue.size(), 1u);
      const std::vector<ServerInfo>& group = catalogue["g\xe9"];
      ASSERT_EQ(group.size(), 2u);
      EXPECT_EQ(group[1].GetKey(), "2");
      EXPECT_EQ(group[1].GetValue(), "b\xff");
    } else {
      EXPECT_EQ(lent, proxycli::LentCatalogue::kFailed) << c.what;
      EXPECT_TRUE(catalogue.empty()) << c.what;
      EXPECT_THAT(err, HasSubstr(c.message)) << c.what;
      EXPECT_EQ(report.exitStatus(), 1) << c.what;
    }
  }
}

// The connect loop's side, driven directly: what status and the operations
// say while the lease is lost and after it is back.
TEST_F(CliTest, RecoveringAndAReplacedServerListShowInStatus) {
  const std::string servers = "http://127.0.0.1:9";
  proxycli::SessionSocketPlace place;
  ASSERT_NO_FATAL_FAILURE(MakePlace(servers, "carol", &place));
  proxycli::SessionServer server("carol", proxycli::HostPaths(), 7);
  std::string error;
  ASSERT_EQ(server.Open(place, &error), proxycli::SessionListener::Status::kListening) << error;
  server.Start();
  // The status answer, with `fields` checked in its data.
  auto status = [&place](const nlohmann::json& fields) {
    const std::string line = Ask(place.socketPath, "status");
    nlohmann::json doc = line.empty() ? nlohmann::json() : nlohmann::json::parse(line, nullptr, false);
    ExpectFields(doc["data"], fields);
    return doc;
  };
  status({{"phase", "signing in"}});
  EXPECT_EQ(Ask(place.socketPath, "account"), "{\"retry\":true}");

  DialupInfo lease;
  lease.lendusername = "lend\x1b]0;7";
  server.Leased(lease, 5);
  server.Handshake(0, "", 3, 1);
  const nlohmann::json leased = status({{"phase", "leased"}, {"handshakes_ok", 3}, {"servers", servers}});
  EXPECT_THAT(leased["text"].get<std::string>(), Not(HasSubstr("\x1b"))) << "shown escaped";

  server.Recovering("handshake refused: 0x00000005");
  const nlohmann::json recovering =
      status({{"phase", "recovering"}, {"recovering", "handshake refused: 0x00000005"}});
  EXPECT_FALSE(recovering["data"].contains("lendusername"));
  EXPECT_THAT(recovering["text"].get<std::string>(), HasSubstr(": recovering: handshake refused"));
  EXPECT_EQ(Ask(place.socketPath, "account"),
            "{\"recovering\":\"handshake refused: 0x00000005\",\"retry\":true}");

  server.ServerListReplaced("https://a.example;https://b.example");
  lease.lendusername = "lend8";
  server.Leased(lease, 5);
  const nlohmann::json again = status({{"phase", "leased"},
                                       {"lendusername", "lend8"},
                                       {"handshakes_ok", 0},  // counts start afresh
                                       {"server_list_replaced", "https://a.example;https://b.example"}});
  EXPECT_FALSE(again["data"].contains("last_handshake"));
  EXPECT_THAT(again["text"].get<std::string>(),
              HasSubstr("the service replaced the server list with: https://a.example;https://b.example"));
  // The same through the subcommand.
  EXPECT_THAT(RunExpecting(0, {"--servers", servers, "--user", "carol", "status"}).out,
              HasSubstr("replaced the server list"));

  // Once ending, operations wait for the next connect; a waiting disconnect
  // gets the final answer.
  server.Ending();
  EXPECT_EQ(Ask(place.socketPath, "account"), "{\"retry\":true}");
  server.Recovering("too late");
  status({{"phase", "ending"}});
  const proxycli::OwnedDescriptor socket = Dial(place.socketPath);
  ASSERT_TRUE(proxycli::WriteAllBefore(socket.get(), "{\"op\":\"disconnect\"}\n", In(20)));
  for (int i = 0; i < 2000 && !server.disconnectRequested(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server.Finish({{"exit_status", 0}, {"data", nlohmann::json::object()}, {"text", "bye\n"}});
  std::string answer;
  EXPECT_EQ(proxycli::ReadLineBefore(socket.get(), 4096, In(20), &answer), proxycli::LineStatus::kLine);
  EXPECT_THAT(answer, HasSubstr("bye"));
  EXPECT_EQ(ModeOf(place.socketPath), 0u) << "the socket is removed";
  EXPECT_TRUE(server.disconnectRequested());
}

}  // namespace
}  // namespace clitest
