// A running `connect` owns the account's session: the other subcommands use
// it through the session socket instead of signing in (which would end it),
// `status` shows it and `disconnect` ends it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>

#include "cli/CliFixture.h"
#include "hostlib/quillon.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/SessionClient.h"
#include "tools/cli/SessionServer.h"
#include "tools/cli/SessionSocket.h"

namespace clitest {
namespace {

class ConnectSessionTest : public CliTest {
 protected:
  // `connect` as a program of its own, holding its lease.
  void StartConnect(ChildProcess* connect) {
    ASSERT_TRUE(connect->SpawnWithPipes(Carol({"--json", "connect", "--server-id", "7", "--interval", "1"})));
    ASSERT_TRUE(connect->WaitForOutput("\"event\":\"handshake\"")) << connect->errors();
  }
  int SignIns() const {
    const std::vector<std::string> requests = Requests();
    return static_cast<int>(std::count(requests.begin(), requests.end(), "loginin.php -> result=0: parsed"));
  }
  proxycli::SessionSocketPlace Place() const {
    return proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/false);
  }
};

// A second account with a pool of its own, so two connects can run at once.
const std::string kTwoAccounts =
    std::string(kSeed) +
    "[account:dave]\npassword=dave-pw\nmoneyleft=7\ntimeleft=1 day\n[pool:8]\nlend8=pw8\n";

// One request line on a fresh connection, and the lines that answer it.
std::vector<std::string> Exchange(const std::string& path, const std::string& request, std::size_t lines) {
  proxycli::OwnedDescriptor socket;
  std::string error;
  if (proxycli::DialSessionSocket(path, &socket, &error) != proxycli::DialStatus::kConnected) return {};
  const auto deadline = proxycli::SteadyClock::now() + std::chrono::seconds(20);
  proxycli::LineChannel channel(std::move(socket));
  if (!proxycli::WriteAllBefore(channel.fd(), request + "\n", deadline)) return {};
  std::vector<std::string> answer;
  std::string line;
  while (answer.size() < lines && channel.Next(1 << 20, deadline, &line) == proxycli::LineStatus::kLine) {
    answer.push_back(line);
  }
  return answer;
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

TEST_F(ConnectSessionTest, SubcommandsUseTheSessionUntilDisconnect) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  ASSERT_EQ(SignIns(), 1);
  const proxycli::SessionSocketPlace place = Place();
  EXPECT_EQ(ModeOf(place.directory), 0700u);
  EXPECT_EQ(ModeOf(place.socketPath), 0600u);

  const Outcome account = Run(Carol({"account"}));
  EXPECT_EQ(account.status, 0) << account.err;
  EXPECT_EQ(account.out.rfind("account\n", 0), 0u) << account.out;
  const nlohmann::json accountDoc = Run(Carol({"--json", "account"})).Json();
  EXPECT_EQ(accountDoc["user"]["moneyleft"], 42) << accountDoc.dump();
  const Outcome lentServers = Run(Carol({"--json", "servers"}));
  EXPECT_EQ(lentServers.status, 0) << lentServers.err;
  const Outcome ratio = Run(Carol({"--json", "ratio"}));
  EXPECT_EQ(ratio.status, 0) << ratio.err;
  EXPECT_FALSE(ratio.Json()["ratios"].empty()) << ratio.out;

  const Outcome status = Run(Carol({"status"}));
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("server 7 as lend7, up "), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find("pw7"), std::string::npos) << "the password stays with connect";
  const nlohmann::json statusDoc = Run(Carol({"--json", "status"})).Json();
  EXPECT_EQ(statusDoc["server_id"], 7);
  EXPECT_EQ(statusDoc["lendusername"], "lend7");
  EXPECT_GE(statusDoc["handshakes_ok"].get<int>(), 1);
  EXPECT_EQ(statusDoc["last_handshake"]["result"], 0);
  EXPECT_EQ(statusDoc["account_server"], "http://" + server_.LiveAddress()) << statusDoc.dump();

  // None of that signed in again, so connect's session still holds.
  EXPECT_EQ(SignIns(), 1);
  const std::string next = "\"handshakes_ok\":" + std::to_string(statusDoc["handshakes_ok"].get<int>() + 1);
  EXPECT_TRUE(connect.WaitForOutput(next, std::chrono::seconds(3))) << connect.output();

  const Outcome disconnect = Run(Carol({"disconnect"}));
  EXPECT_EQ(disconnect.status, 0) << disconnect.err;
  EXPECT_EQ(disconnect.out, "connect released server 7 and signed out\n");
  // Confirmed means done: released and signed out before the answer.
  EXPECT_GE(LastRequest("logout.php -> result=0: parsed"), 0);
  EXPECT_EQ(connect.Wait(), 0) << connect.errors();
  EXPECT_NE(connect.output().find("\"stop_reason\":\"disconnect requested\""), std::string::npos);
  EXPECT_EQ(connect.output().find("\"handshakes_failed\":1"), std::string::npos) << connect.output();
  EXPECT_EQ(ModeOf(place.socketPath), 0u) << "the socket is removed";

  for (const char* command : {"status", "disconnect"}) {
    const Outcome none = Run(Carol({command}));
    EXPECT_EQ(none.status, 1) << command;
    EXPECT_NE(none.err.find("no connect running for carol"), std::string::npos) << none.err;
  }
  // On its own again: its own sign-in, and the same catalogue as through connect.
  const Outcome ownServers = Run(Carol({"--json", "servers"}));
  EXPECT_EQ(ownServers.status, 0) << ownServers.err;
  EXPECT_EQ(SignIns(), 2);
  EXPECT_EQ(ownServers.out, lentServers.out);
}

TEST_F(ConnectSessionTest, OneConnectPerAccountAndAStaleSocketIsReplaced) {
  StartService();
  // A socket left behind by a connect that was killed: nobody listens.
  const proxycli::SessionSocketPlace place =
      proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/true);
  ASSERT_EQ(place.kind, proxycli::SessionSocketPlace::Kind::kUsable) << place.problem;
  ASSERT_TRUE(PlantStaleSocket(place.socketPath));
  EXPECT_EQ(Run(Carol({"status"})).status, 1);

  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  EXPECT_EQ(Run(Carol({"status"})).status, 0);
  const Outcome second = Run(Carol({"connect", "--server-id", "7", "--duration", "5"}));
  EXPECT_EQ(second.status, 2);
  EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
  EXPECT_EQ(SignIns(), 1);
  // Another account, or another service, has a socket of its own.
  for (const auto& other :
       {std::make_pair(server_.LiveAddress(), std::string("dave")),
        std::make_pair(server_.LiveAddress() + ";backup.example", std::string("carol"))}) {
    EXPECT_NE(proxycli::LocateSessionSocket(other.first, other.second, false).socketPath, place.socketPath);
  }
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0);
}

TEST_F(ConnectSessionTest, SlowOrOversizedClientsDoNotStallConnect) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  const std::string path = Place().socketPath;
  auto dial = [&path](proxycli::OwnedDescriptor* socket) {
    std::string error;
    return proxycli::DialSessionSocket(path, socket, &error) == proxycli::DialStatus::kConnected;
  };
  proxycli::OwnedDescriptor silent;
  ASSERT_TRUE(dial(&silent));
  proxycli::OwnedDescriptor oversized;
  ASSERT_TRUE(dial(&oversized));
  ASSERT_TRUE(proxycli::WriteAllBefore(oversized.get(), std::string(proxycli::kMaxRequestBytes + 10, 'x'),
                                       proxycli::SteadyClock::now() + std::chrono::seconds(2)));
  const auto start = proxycli::SteadyClock::now();
  const Outcome status = Run(Carol({"status"}));
  EXPECT_EQ(status.status, 0) << status.err;
  // At most one request time-out (the silent client's) stands in the way.
  EXPECT_LT(proxycli::SteadyClock::now() - start, proxycli::kRequestReadTimeout + std::chrono::seconds(2));
  std::string answer;
  EXPECT_EQ(proxycli::ReadLineBefore(oversized.get(), 1000,
                                     proxycli::SteadyClock::now() + std::chrono::seconds(5), &answer),
            proxycli::LineStatus::kLine);
  EXPECT_NE(answer.find("longer than"), std::string::npos) << answer;
  // The heartbeat went on meanwhile.
  EXPECT_TRUE(connect.WaitForOutput("\"handshakes_ok\":3", std::chrono::seconds(5))) << connect.output();
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0);
}

TEST_F(ConnectSessionTest, UnsafeDirectoryIsRefused) {
  StartService();
  const proxycli::SessionSocketPlace place =
      proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/true);
  ASSERT_EQ(place.kind, proxycli::SessionSocketPlace::Kind::kUsable) << place.problem;
  struct Case {
    const char* what;
    bool (*make)(const std::string& directory);
    const char* message;
  };
  std::vector<Case> cases = {
      {"open to others", [](const std::string& d) { return ::chmod(d.c_str(), 0755) == 0; },
       "open to other users"},
  };
  // Only root can give a directory away.
  if (::getuid() == 0) {
    cases.push_back({"someone else's",
                     [](const std::string& d) { return ::chown(d.c_str(), 65534, 65534) == 0; },
                     "belongs to uid 65534"});
  }
  for (const Case& c : cases) {
    ASSERT_TRUE(c.make(place.directory)) << c.what;
    const std::size_t before = Requests().size();
    const Outcome connect = Run(Carol({"connect", "--server-id", "7", "--duration", "1"}));
    EXPECT_EQ(connect.status, 2) << c.what;
    EXPECT_NE(connect.err.find(c.message), std::string::npos) << connect.err;
    EXPECT_EQ(Requests().size(), before) << "refused before anything is sent";
    // The other subcommands do not trust it either, and sign in on their own.
    const Outcome account = Run(Carol({"account"}));
    EXPECT_EQ(account.status, 0) << account.err;
    EXPECT_NE(account.err.find(c.message), std::string::npos) << account.err;
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
  const Outcome outcome = Run(Carol({"connect", "--server-id", "7", "--interval", "1", "--duration", "0.2"}));
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  const std::string note = "no session socket";
  const std::size_t first = outcome.err.find(note);
  EXPECT_NE(first, std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find(note, first + 1), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.out.find("released (duration reached"), std::string::npos) << outcome.out;
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
    std::vector<std::string> taken;
    if (library.Parse(c.servers, true) > 0) {
      for (const CLoginServers::Server& server : library.GetServers()) {
        std::string host = server.host;
        std::transform(host.begin(), host.end(), host.begin(), ::tolower);
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        taken.push_back((server.secure ? "https://" : "http://") + host + ":" + std::to_string(server.port));
      }
    }
    std::sort(taken.begin(), taken.end());
    taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
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

TEST_F(ConnectSessionTest, AnySpellingOfTheServersFindsTheConnect) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  const std::string address = server_.LiveAddress();
  for (const std::string& spelling :
       {"http://" + address, " " + address + " ", "HTTP://" + address + "/", address + ";" + address}) {
    const Outcome status = Run({"--servers", spelling, "--user", "carol", "status"});
    EXPECT_EQ(status.status, 0) << spelling << ": " << status.err;
    EXPECT_NE(status.out.find("for carol on http://" + address + ": server 7"), std::string::npos)
        << status.out;
    const Outcome account =
        Run({"--servers", spelling, "--user", "carol", "--password", "carol-pw", "account"});
    EXPECT_EQ(account.status, 0) << spelling << ": " << account.err;
  }
  EXPECT_EQ(SignIns(), 1) << "every spelling borrowed connect's session";
  // Another port is another service.
  const Outcome other = Run({"--servers", "127.0.0.1:1", "--user", "carol", "status"});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("no connect running for carol on http://127.0.0.1:1"), std::string::npos)
      << other.err;
  EXPECT_EQ(Run({"--servers", "http://" + address + "/", "--user", "carol", "disconnect"}).status, 0);
  EXPECT_EQ(connect.Wait(), 0) << connect.errors();
}

TEST_F(ConnectSessionTest, StatusWithoutAUserListsEveryRunningConnect) {
  StartService(false, kTwoAccounts);
  const Outcome none = Run({"status"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("no connect running"), std::string::npos) << none.err;
  EXPECT_EQ(Run({"--json", "status"}).out, "[]\n");

  ChildProcess carol;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&carol));
  ChildProcess dave;
  ASSERT_TRUE(
      dave.SpawnWithPipes({"--servers", "http://" + server_.LiveAddress(), "--user", "dave", "--password",
                           "dave-pw", "--json", "connect", "--server-id", "8", "--interval", "1"}));
  ASSERT_TRUE(dave.WaitForOutput("\"event\":\"handshake\"")) << dave.errors();
  // A socket left behind by a connect that was killed is not listed.
  ASSERT_TRUE(PlantStaleSocket(
      proxycli::LocateSessionSocket(server_.LiveAddress(), "erin", /*create=*/true).socketPath));

  const Outcome text = Run({"status"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("for carol on http://" + server_.LiveAddress() + ": server 7 as lend7"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("for dave on http://" + server_.LiveAddress() + ": server 8 as lend8"),
            std::string::npos)
      << text.out;
  EXPECT_EQ(text.err, "");
  const nlohmann::json list = Run({"--json", "status"}).Json();
  ASSERT_TRUE(list.is_array()) << list.dump();
  ASSERT_EQ(list.size(), 2u) << list.dump();
  std::vector<std::string> users;
  for (const nlohmann::json& entry : list) {
    users.push_back(entry.value("username", ""));
    EXPECT_EQ(entry["servers"], "http://" + server_.LiveAddress());
    EXPECT_EQ(entry["phase"], "leased");
    EXPECT_EQ(entry["running"], true);
  }
  std::sort(users.begin(), users.end());
  EXPECT_EQ(users, (std::vector<std::string>{"carol", "dave"}));
  // With a user, that account alone, as before.
  const nlohmann::json one = Run(Carol({"--json", "status"})).Json();
  EXPECT_EQ(one["username"], "carol") << one.dump();

  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(carol.Wait(), 0);
  const nlohmann::json left = Run({"--json", "status"}).Json();
  ASSERT_EQ(left.size(), 1u) << left.dump();
  EXPECT_EQ(left[0]["username"], "dave");
  EXPECT_EQ(Run({"--servers", server_.LiveAddress(), "--user", "dave", "disconnect"}).status, 0);
  EXPECT_EQ(dave.Wait(), 0);
  EXPECT_EQ(Run({"status"}).status, 1);
}

TEST_F(ConnectSessionTest, ManySilentConnectionsHoldUpNobody) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  const std::string path = Place().socketPath;
  std::vector<proxycli::OwnedDescriptor> silent(64);
  for (proxycli::OwnedDescriptor& socket : silent) {
    std::string error;
    ASSERT_EQ(proxycli::DialSessionSocket(path, &socket, &error), proxycli::DialStatus::kConnected) << error;
  }
  // One that sends half a request and one that never reads its answer.
  proxycli::OwnedDescriptor half;
  std::string error;
  ASSERT_EQ(proxycli::DialSessionSocket(path, &half, &error), proxycli::DialStatus::kConnected);
  ASSERT_TRUE(proxycli::WriteAllBefore(half.get(), "{\"op\":\"sta",
                                       proxycli::SteadyClock::now() + std::chrono::seconds(2)));
  for (const char* command : {"status", "account", "ratio"}) {
    const Outcome outcome = Run(Carol({command}));
    EXPECT_EQ(outcome.status, 0) << command << ": " << outcome.err;
  }
  // Raw requests still get their own answers while the others stay silent.
  const std::vector<std::string> status = Exchange(path, "{\"op\":\"status\"}", 1);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_NE(status[0].find("\"phase\":\"leased\""), std::string::npos) << status[0];
  const std::vector<std::string> unknown = Exchange(path, "{\"op\":\"lease\"}", 1);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(unknown[0].find("unknown request"), std::string::npos) << unknown[0];
  EXPECT_EQ(SignIns(), 1);
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0) << connect.errors();
}

TEST_F(ConnectSessionTest, TheCatalogueComesRecordByRecord) {
  // Texts that need escaping, and 8-bit bytes that are not UTF-8.
  StartService(false, std::string(kSeed) +
                          "[group:Z\xe9ta \"q\"]\n5=Back\\slash \"5\" \xff\x01,z5.example,1,Z\xfcrich\n");
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  const std::vector<std::string> lines = Exchange(Place().socketPath, "{\"op\":\"servers\"}", 9);
  // The groups in byte order, each followed by its records.
  ASSERT_EQ(lines.size(), 9u);
  const nlohmann::json head = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(head["exit_status"], 0);
  EXPECT_EQ(head["catalogue"], "lines");
  EXPECT_FALSE(head["data"].contains("catalogue"));
  EXPECT_EQ(lines[1], "{\"group\":\"Alpha\"}");
  EXPECT_EQ(lines[2], "[\"9\",\"Alpha 9,a9.example,1,Elsewhere\"]");
  EXPECT_EQ(lines[3], "{\"group\":\"Z\xc3\xa9ta \\\"q\\\"\"}");
  EXPECT_EQ(lines[4], "[\"5\",\"Back\\\\slash \\\"5\\\" \xc3\xbf\\u0001,z5.example,1,Z\xc3\xbcrich\"]");
  EXPECT_EQ(lines[5], "{\"group\":\"beta\"}");
  EXPECT_EQ(lines[6], "[\"7\",\"Beta 7,b7.example,2,Here\"]");
  EXPECT_EQ(lines[7], "[\"8\",\"Beta 8,b8.example,1,There\"]");
  EXPECT_EQ(lines[8], "{\"end\":true,\"groups\":3,\"records\":4}");
  // Every line is JSON, and the subcommand shows what it would show on its own.
  for (const std::string& line : lines)
    EXPECT_FALSE(nlohmann::json::parse(line, nullptr, false).is_discarded());
  const Outcome lent = Run(Carol({"--json", "servers"}));
  const Outcome lentText = Run(Carol({"servers"}));
  EXPECT_EQ(lent.status, 0) << lent.err;
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0);
  EXPECT_EQ(Run(Carol({"--json", "servers"})).out, lent.out);
  EXPECT_EQ(Run(Carol({"servers"})).out, lentText.out);
  EXPECT_NE(lentText.out.find("Back\\slash"), std::string::npos) << lentText.out;
}

// A stand-in for connect that answers one request with `answer`.
class FakeConnect {
 public:
  FakeConnect(const proxycli::SessionSocketPlace& place, std::string answer) : answer_(std::move(answer)) {
    std::string error;
    ok_ = listener_.Open(place, &error) == proxycli::SessionListener::Status::kListening;
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~FakeConnect() {
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }
  const std::string& request() const { return request_; }

 private:
  void Serve() {
    const auto deadline = proxycli::SteadyClock::now() + std::chrono::seconds(20);
    proxycli::OwnedDescriptor connection;
    while (!connection.valid() && proxycli::SteadyClock::now() < deadline) {
      pollfd entry{listener_.fd(), POLLIN, 0};
      if (::poll(&entry, 1, 100) > 0) connection = listener_.Accept();
    }
    if (!connection.valid()) return;
    proxycli::ReadLineBefore(connection.get(), 4096, deadline, &request_);
    proxycli::WriteAllBefore(connection.get(), answer_, deadline);
    // Gone before the client dials again: a cut answer is not retried.
    listener_.Close();
  }

  proxycli::SessionListener listener_;
  std::string answer_;
  std::string request_;
  bool ok_ = false;
  std::thread thread_;
};

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
      {"head too long", "{\"exit_status\":0,\"text\":\"" + std::string(2u << 20, 'x') + "\"}\n",
       "larger than"},
  };
  proxycli::Settings settings;
  settings.servers = "127.0.0.1:9";
  settings.user = "carol";
  const proxycli::SessionSocketPlace place =
      proxycli::LocateSessionSocket(settings.servers, settings.user, /*create=*/true);
  ASSERT_EQ(place.kind, proxycli::SessionSocketPlace::Kind::kUsable) << place.problem;
  for (const Case& c : cases) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    proxycli::Console console{in, out, err, false, false};
    proxycli::Report report(console, "servers", false);
    ServerCatalogue catalogue;
    proxycli::LentCatalogue lent;
    {
      FakeConnect fake(place, c.answer);
      ASSERT_TRUE(fake.ok()) << c.what;
      lent = proxycli::CatalogueFromConnect(settings, report, &catalogue);
    }
    if (std::string(c.message).empty()) {
      EXPECT_EQ(lent, proxycli::LentCatalogue::kFetched) << c.what << ": " << err.str();
      ASSERT_EQ(catalogue.size(), 1u);
      const std::vector<ServerInfo>& group = catalogue["g\xe9"];
      ASSERT_EQ(group.size(), 2u);
      EXPECT_EQ(group[1].GetKey(), "2");
      EXPECT_EQ(group[1].GetValue(), "b\xff");
    } else {
      EXPECT_EQ(lent, proxycli::LentCatalogue::kFailed) << c.what;
      EXPECT_TRUE(catalogue.empty()) << c.what;
      EXPECT_NE(err.str().find(c.message), std::string::npos) << c.what << ": " << err.str();
      EXPECT_EQ(report.exitStatus(), 1) << c.what;
    }
  }
}

TEST_F(ConnectSessionTest, ShellAndCheckDoNotEndConnectsSession) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
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
    const Outcome outcome = Run(c.args, c.input);
    EXPECT_EQ(outcome.status, 2) << c.refused << ": " << outcome.err;
    EXPECT_NE(outcome.err.find(running), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(c.refused), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("'proxyhelper disconnect'"), std::string::npos) << outcome.err;
    for (std::size_t i = before; i < Requests().size(); ++i) {
      EXPECT_EQ(Requests()[i].find("loginin.php"), std::string::npos) << c.refused;
    }
  }
  EXPECT_EQ(SignIns(), 1);
  // Another account in the shell is no business of this connect.
  const Outcome erin = Run({"--servers", server_.LiveAddress(), "shell"},
                           "register erin erin-pw\nsignin erin erin-pw\nsignout\n");
  EXPECT_EQ(erin.status, 0) << erin.err;
  EXPECT_EQ(SignIns(), 2);
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0) << connect.errors();
  EXPECT_EQ(connect.output().find("\"handshakes_failed\":1"), std::string::npos) << connect.output();
}

// The connect loop's side, driven directly: what status and the operations
// say while the lease is lost and after it is back.
TEST_F(CliTest, RecoveringAndAReplacedServerListShowInStatus) {
  proxycli::Settings settings;
  settings.servers = "http://127.0.0.1:9";
  settings.user = "carol";
  const proxycli::SessionSocketPlace place =
      proxycli::LocateSessionSocket(settings.servers, settings.user, /*create=*/true);
  ASSERT_EQ(place.kind, proxycli::SessionSocketPlace::Kind::kUsable) << place.problem;
  proxycli::SessionServer server("carol", proxycli::HostPaths(), 7);
  std::string error;
  ASSERT_EQ(server.Open(place, &error), proxycli::SessionListener::Status::kListening) << error;
  server.Start();
  auto status = [&place]() {
    const std::vector<std::string> lines = Exchange(place.socketPath, "{\"op\":\"status\"}", 1);
    return lines.empty() ? nlohmann::json() : nlohmann::json::parse(lines[0], nullptr, false);
  };
  auto account = [&place]() {
    const std::vector<std::string> lines = Exchange(place.socketPath, "{\"op\":\"account\"}", 1);
    return lines.empty() ? std::string() : lines[0];
  };
  EXPECT_EQ(status()["data"]["phase"], "signing in");
  EXPECT_EQ(account(), "{\"retry\":true}");

  DialupInfo lease;
  lease.lendusername = "lend\x1b]0;7";
  server.Leased(lease, 5);
  server.Handshake(0, "", 3, 1);
  nlohmann::json leased = status();
  EXPECT_EQ(leased["data"]["phase"], "leased");
  EXPECT_EQ(leased["data"]["handshakes_ok"], 3);
  EXPECT_EQ(leased["data"]["servers"], "http://127.0.0.1:9");
  EXPECT_EQ(leased["text"].get<std::string>().find('\x1b'), std::string::npos) << "shown escaped";

  server.Recovering("handshake refused: 0x00000005");
  const nlohmann::json recovering = status();
  EXPECT_EQ(recovering["data"]["phase"], "recovering");
  EXPECT_EQ(recovering["data"]["recovering"], "handshake refused: 0x00000005");
  EXPECT_FALSE(recovering["data"].contains("lendusername"));
  EXPECT_NE(recovering["text"].get<std::string>().find(": recovering: handshake refused"), std::string::npos)
      << recovering.dump();
  EXPECT_EQ(account(), "{\"recovering\":\"handshake refused: 0x00000005\",\"retry\":true}");

  server.ServerListReplaced("https://a.example;https://b.example");
  lease.lendusername = "lend8";
  server.Leased(lease, 5);
  const nlohmann::json again = status();
  EXPECT_EQ(again["data"]["phase"], "leased");
  EXPECT_EQ(again["data"]["lendusername"], "lend8");
  EXPECT_EQ(again["data"]["handshakes_ok"], 0) << "counts start afresh";
  EXPECT_FALSE(again["data"].contains("last_handshake"));
  EXPECT_EQ(again["data"]["server_list_replaced"], "https://a.example;https://b.example");
  EXPECT_NE(again["text"].get<std::string>().find(
                "the service replaced the server list with: https://a.example;https://b.example"),
            std::string::npos)
      << again.dump();
  // The same through the subcommand.
  const Outcome shown = Run({"--servers", settings.servers, "--user", "carol", "status"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(shown.out.find("replaced the server list"), std::string::npos) << shown.out;

  // Once ending, operations wait for the next connect; a waiting disconnect
  // gets the final answer.
  server.Ending();
  EXPECT_EQ(account(), "{\"retry\":true}");
  server.Recovering("too late");
  EXPECT_EQ(status()["data"]["phase"], "ending");
  proxycli::OwnedDescriptor socket;
  ASSERT_EQ(proxycli::DialSessionSocket(place.socketPath, &socket, &error), proxycli::DialStatus::kConnected);
  const auto deadline = proxycli::SteadyClock::now() + std::chrono::seconds(20);
  ASSERT_TRUE(proxycli::WriteAllBefore(socket.get(), "{\"op\":\"disconnect\"}\n", deadline));
  for (int i = 0; i < 2000 && !server.disconnectRequested(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server.Finish({{"exit_status", 0}, {"data", nlohmann::json::object()}, {"text", "bye\n"}});
  std::string answer;
  EXPECT_EQ(proxycli::ReadLineBefore(socket.get(), 4096, deadline, &answer), proxycli::LineStatus::kLine);
  EXPECT_NE(answer.find("bye"), std::string::npos) << answer;
  EXPECT_EQ(ModeOf(place.socketPath), 0u) << "the socket is removed";
  EXPECT_TRUE(server.disconnectRequested());
}

}  // namespace
}  // namespace clitest
