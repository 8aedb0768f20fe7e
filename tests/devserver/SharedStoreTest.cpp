// The service on a store: instances sharing one SQLite file, restarts,
// races settled by transactions, the cipher keys, the seed, the limits on
// input, lease expiry and the request log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "support/TempDir.h"
#include "system/ProcessProbe.h"
#include "tools/devserver/ResultCodes.h"

namespace {

using devserver::AccountService;
using devserver_test::ClientView;
using devserver_test::Fields;

class SharedStoreTest : public ::testing::Test {
 protected:
  SharedStoreTest() { devserver_test::InstallClientKeys(devserver_test::TestKeys()); }

  devserver::ServiceOptions Options(const std::string& store) {
    devserver::ServiceOptions options;
    options.store = store;
    options.keys = devserver_test::TestKeys();
    options.clock = [this] { return now_.load(); };
    return options;
  }
  std::string File() const { return dir_.path() + "/shared.db"; }

  std::unique_ptr<AccountService> Open(const devserver::ServiceOptions& options,
                                       const devserver::SeedData& seed = devserver_test::TestSeed()) {
    std::string error;
    auto service = AccountService::Open(seed, options, &error);
    EXPECT_NE(service, nullptr) << error;
    return service;
  }

  // The request as the client sends it, the reply as it reads it.
  static ClientView Call(AccountService& service, const std::string& script, const Fields& fields,
                         const std::string& peer = std::string(), int* status = nullptr) {
    const char letter = script == "getdailupinfo.php" ? 'A' : 'Z';
    const devserver::CipherKeys keys = devserver_test::TestKeys();
    const std::string* item = keys.ForLetter(letter);
    const devserver::HttpAnswer answer = service.Handle(
        script, devserver_test::RequestBody(devserver_test::FormText(fields), letter, item ? *item : ""),
        peer);
    if (status != nullptr) *status = answer.status;
    return devserver_test::ReadAsClient(answer.body);
  }
  static std::string SignIn(AccountService& service, const std::string& user, const std::string& password) {
    const ClientView view =
        Call(service, "loginin.php", {{"username", user}, {"password", password}, {"mid", "m"}});
    EXPECT_EQ(view.Result(), 0) << user;
    return view.Item("", "magic");
  }

  testsupport::TempDir dir_{"proxyhelper-store-"};
  std::atomic<std::int64_t> now_{1700000000};
};

TEST_F(SharedStoreTest, OneAccountAcrossTwoInstances) {
  ASSERT_TRUE(dir_.ok());
  std::unique_ptr<AccountService> instances[] = {Open(Options(File())), Open(Options(File()))};
  ASSERT_TRUE(instances[0] && instances[1]);
  // "$name" values are replaced by what an earlier step captured.
  struct Step {
    int instance;
    const char* script;
    Fields fields;
    int result;
    const char* capture;  // reply item kept as "$<item>"
  };
  const Fields session = {{"username", "carol"}, {"magic", "$magic"}};
  const auto with = [&session](Fields extra) {
    extra.insert(session.begin(), session.end());
    return extra;
  };
  const Step steps[] = {
      {0, "register.php", {{"username", "carol"}, {"password", "c-pw"}}, 0, nullptr},
      {1,
       "register.php",
       {{"username", "carol"}, {"password", "other"}},
       devserver::kResultDuplicateAccount,
       nullptr},
      {1, "loginin.php", {{"username", "carol"}, {"password", "c-pw"}, {"mid", "m1"}}, 0, "magic"},
      {0, "getdailupinfo.php", with({{"vpnserverid", "101"}}), 0, "dailsession"},
      {0, "getdailupinfo.php", with({{"vpnserverid", "101"}}), 0, nullptr},  // the shared pool
      {1, "getdailupinfo.php", with({{"vpnserverid", "101"}}), devserver::kResultNoCredentials, nullptr},
      {1, "verification.php",
       with({{"dailsession", "$dailsession"}, {"lendusername", "d101"}, {"vpnserverid", "101"}}), 0, nullptr},
      {0, "releasedialupinfo.php", with({{"dailsession", "$dailsession"}, {"result", "0"}}), 0, nullptr},
      {1, "releasedialupinfo.php", with({{"dailsession", "$dailsession"}, {"result", "0"}}),
       devserver::kResultBadLease, nullptr},
      {1, "getdailupinfo.php", with({{"vpnserverid", "101"}}), 0, nullptr},  // d101 is back
      {1, "logout.php", session, 0, nullptr},
      {0, "getuserinfo.php", session, devserver::kResultBadSession, nullptr},
      {0, "loginin.php", {{"username", "alice"}, {"password", "a-pw"}}, 0, "magic"},
      {1,
       "getdailupinfo.php",
       {{"username", "alice"}, {"magic", "$magic"}, {"vpnserverid", "201"}},
       0,
       nullptr},
  };
  std::map<std::string, std::string> captured;
  for (const Step& step : steps) {
    Fields fields = step.fields;
    for (auto& field : fields) {
      if (!field.second.empty() && field.second[0] == '$') field.second = captured[field.second.substr(1)];
    }
    SCOPED_TRACE(std::string(step.script) + " on instance " + std::to_string(step.instance));
    const ClientView view = Call(*instances[step.instance], step.script, fields);
    ASSERT_EQ(view.Result(), step.result) << view.Item("", "errdesc");
    if (step.capture != nullptr) captured[step.capture] = view.Item("", step.capture);
  }
}

TEST_F(SharedStoreTest, RestartKeepsAccountsBalancesAndUsedCardsButNotTheSeed) {
  ASSERT_TRUE(dir_.ok());
  {
    auto first = Open(Options(File()));
    ASSERT_TRUE(first);
    EXPECT_EQ(Call(*first, "register.php", {{"username", "dave"}, {"password", "d-pw"}}).Result(), 0);
    const ClientView credited =
        Call(*first, "recharge.php",
             {{"username", "dave"}, {"password", "d-pw"}, {"cardno", "C1"}, {"cardpw", "p1"}});
    ASSERT_EQ(credited.Result(), 0);
    EXPECT_EQ(credited.Item("", "moneyleft"), "55");  // new accounts start with 5
  }
  // A different seed: a seeded store must not take any of it.
  devserver::SeedData changed = devserver_test::TestSeed();
  changed.accounts[0].moneyleft = 999;
  changed.cards.push_back(devserver::PrepaidCard{"C9", "p9", 9});
  auto second = Open(Options(File()), changed);
  ASSERT_TRUE(second);
  const std::string magic = SignIn(*second, "dave", "d-pw");
  EXPECT_EQ(Call(*second, "getuserinfo.php", {{"username", "dave"}, {"magic", magic}})
                .Item("userinfo", "moneyleft"),
            "55");
  const std::string alice = SignIn(*second, "alice", "a-pw");
  EXPECT_EQ(Call(*second, "getuserinfo.php", {{"username", "alice"}, {"magic", alice}})
                .Item("userinfo", "moneyleft"),
            "10");
  for (const char* card : {"C1", "C9"}) {
    SCOPED_TRACE(card);
    EXPECT_EQ(Call(*second, "recharge.php",
                   {{"username", "dave"},
                    {"password", "d-pw"},
                    {"cardno", card},
                    {"cardpw", card[1] == '1' ? "p1" : "p9"}})
                  .Result(),
              devserver::kResultBadCard);
  }
}

TEST_F(SharedStoreTest, ACardRacedFromSixteenThreadsCreditsOnce) {
  ASSERT_TRUE(dir_.ok());
  std::unique_ptr<AccountService> instances[] = {Open(Options(File())), Open(Options(File()))};
  ASSERT_TRUE(instances[0] && instances[1]);
  std::atomic<int> credited{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      const int result =
          Call(*instances[i % 2], "recharge.php",
               {{"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}, {"cardpw", "p1"}})
              .Result();
      if (result == 0) {
        ++credited;
      } else if (result == devserver::kResultBadCard) {
        ++refused;
      } else {
        ADD_FAILURE() << "result " << result;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(credited.load(), 1);
  EXPECT_EQ(refused.load(), 15);
  const std::string magic = SignIn(*instances[1], "alice", "a-pw");
  EXPECT_EQ(Call(*instances[0], "getuserinfo.php", {{"username", "alice"}, {"magic", magic}})
                .Item("userinfo", "moneyleft"),
            "60");
}

TEST_F(SharedStoreTest, APoolOfOneIsLentOnceAcrossInstances) {
  ASSERT_TRUE(dir_.ok());
  devserver::SeedData seed = devserver_test::TestSeed();
  seed.pools.erase(devserver::kSharedPool);  // d101 alone
  std::unique_ptr<AccountService> instances[] = {Open(Options(File()), seed), Open(Options(File()), seed)};
  ASSERT_TRUE(instances[0] && instances[1]);
  const std::string magics[] = {SignIn(*instances[0], "alice", "a-pw"), SignIn(*instances[1], "bob", "b-pw")};
  const char* users[] = {"alice", "bob"};
  std::atomic<int> lent{0};
  std::atomic<int> empty{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const int result = Call(*instances[i % 2], "getdailupinfo.php",
                              {{"username", users[i % 2]}, {"magic", magics[i % 2]}, {"vpnserverid", "101"}})
                             .Result();
      if (result == 0) {
        ++lent;
      } else if (result == devserver::kResultNoCredentials) {
        ++empty;
      } else {
        ADD_FAILURE() << "result " << result;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(lent.load(), 1);
  EXPECT_EQ(empty.load(), 7);
}

TEST_F(SharedStoreTest, KeysThatDifferFromTheStoredOnesRefuseToStart) {
  ASSERT_TRUE(dir_.ok());
  auto first = Open(Options(File()));
  ASSERT_TRUE(first);
  devserver::ServiceOptions other = Options(File());
  other.keys.m2 = "another-key";
  std::string error;
  EXPECT_EQ(AccountService::Open(devserver_test::TestSeed(), other, &error), nullptr);
  EXPECT_NE(error.find("cipher keys given differ"), std::string::npos) << error;
  // Without keys of its own an instance takes the stored ones.
  other.keysFromStore = true;
  auto adopted = Open(other);
  ASSERT_TRUE(adopted);
  EXPECT_EQ(adopted->keys().m2, devserver_test::TestKeys().m2);
}

TEST_F(SharedStoreTest, AStoreThatCannotOpenAnswers503) {
  ASSERT_TRUE(dir_.ok());
  const std::string specs[] = {dir_.path() + "/no/such/folder/x.db",
                               dir_.Write("text.db", "not a database at all")};
  for (const std::string& spec : specs) {
    SCOPED_TRACE(spec);
    AccountService service(devserver_test::TestSeed(), Options(spec));
    EXPECT_FALSE(service.ok());
    EXPECT_FALSE(service.Healthy());
    EXPECT_NE(service.error().find(spec), std::string::npos) << service.error();
    int status = 0;
    Call(service, "loginin.php", {{"username", "alice"}, {"password", "a-pw"}}, "", &status);
    EXPECT_EQ(status, 503);
  }
#if !PROXYHELPER_DEVSERVER_POSTGRES
  AccountService postgres(devserver_test::TestSeed(), Options("postgresql://127.0.0.1/devserver"));
  EXPECT_NE(postgres.error().find("without PostgreSQL"), std::string::npos) << postgres.error();
#endif
  AccountService memory(devserver_test::TestSeed(), Options(":memory:"));
  EXPECT_TRUE(memory.Healthy());
}

TEST_F(SharedStoreTest, OverLongFieldsAreBadRequests) {
  devserver::ServiceOptions options = Options(":memory:");
  auto service = Open(options);
  ASSERT_TRUE(service);
  struct Case {
    const char* script;
    const char* field;
    std::size_t length;
    int result;  // with the other fields valid
  };
  const Case cases[] = {
      {"register.php", "username", 64, 0},
      {"register.php", "username", 65, devserver::kResultBadRequest},
      {"register.php", "password", 128, devserver::kResultDuplicateAccount},
      {"register.php", "password", 129, devserver::kResultBadRequest},
      {"recharge.php", "cardpw", 129, devserver::kResultBadRequest},
      {"recharge.php", "cardpw", 128, devserver::kResultBadCard},
      {"recharge.php", "cardno", 256, devserver::kResultBadCard},
      {"recharge.php", "cardno", 257, devserver::kResultBadRequest},
      {"loginin.php", "mid", 257, devserver::kResultBadRequest},
      {"loginin.php", "agent", 256, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.script) + " " + c.field + " " + std::to_string(c.length));
    Fields fields = {
        {"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}, {"cardpw", "x"}, {"mid", "m"}};
    fields[c.field] = std::string(c.length, 'v');
    const ClientView view = Call(*service, c.script, fields);
    EXPECT_EQ(view.Result(), c.result) << view.Item("", "errdesc");
    if (c.result == devserver::kResultBadRequest) {
      EXPECT_EQ(view.Item("", "errdesc"), "bad field: " + std::string(c.field) + " is too long (over " +
                                              std::to_string(c.length - 1) + " bytes)");
    }
  }
  options.maxName = 4;
  auto strict = Open(options);
  ASSERT_TRUE(strict);
  EXPECT_EQ(Call(*strict, "register.php", {{"username", "abcd"}, {"password", "p"}}).Result(), 0);
  EXPECT_EQ(Call(*strict, "register.php", {{"username", "abcde"}, {"password", "p"}}).Result(),
            devserver::kResultBadRequest);
}

TEST_F(SharedStoreTest, RegistrationsAreLimitedPerPeerAndMinute) {
  devserver::ServiceOptions options = Options(":memory:");
  options.registerRate = 3;
  auto service = Open(options);
  ASSERT_TRUE(service);
  int counter = 0;
  const auto attempt = [&](const std::string& peer) {
    int status = 0;
    Call(*service, "register.php", {{"username", "user" + std::to_string(++counter)}, {"password", "p"}},
         peer, &status);
    return status;
  };
  // Each row: seconds to move the clock, peer, the statuses of its attempts.
  struct Row {
    int advance;
    const char* peer;
    std::vector<int> statuses;
  };
  const Row rows[] = {
      {0, "127.0.0.5", {200, 200, 200, 429, 429}},
      {0, "127.0.0.6", {200}},
      {0, "", {200, 200, 200, 200}},  // no peer: not limited
      {59, "127.0.0.5", {429}},
      {1, "127.0.0.5", {200, 200, 200, 429}},
  };
  for (const Row& row : rows) {
    now_ += row.advance;
    for (std::size_t i = 0; i < row.statuses.size(); ++i) {
      SCOPED_TRACE(std::string(row.peer) + " attempt " + std::to_string(i));
      EXPECT_EQ(attempt(row.peer), row.statuses[i]);
    }
  }
}

TEST_F(SharedStoreTest, ALeaseEndsAfterThreeMissedHeartbeats) {
  devserver::SeedData seed = devserver_test::TestSeed();  // heartbeat_slot=45
  seed.pools.erase(devserver::kSharedPool);
  auto service = Open(Options(":memory:"), seed);
  ASSERT_TRUE(service);
  const Fields alice = {{"username", "alice"}, {"magic", SignIn(*service, "alice", "a-pw")}};
  const Fields bob = {{"username", "bob"}, {"magic", SignIn(*service, "bob", "b-pw")}};
  const auto lease = [&](Fields session) {
    session["vpnserverid"] = "101";
    return Call(*service, "getdailupinfo.php", session);
  };
  const ClientView held = lease(alice);
  ASSERT_EQ(held.Result(), 0);
  Fields handshake = alice;
  handshake.insert(
      {{"dailsession", held.Item("", "dailsession")}, {"lendusername", "d101"}, {"vpnserverid", "101"}});
  struct Step {
    int advance;
    bool aliceHandshakes;
    int bobResult;
  };
  const Step steps[] = {
      {135, false, devserver::kResultNoCredentials},  // 3 x 45 s exactly: still held
      {0, true, devserver::kResultNoCredentials},     // the handshake restarts the count
      {135, false, devserver::kResultNoCredentials},
      {1, false, 0},  // silent for longer: d101 goes to bob
  };
  for (const Step& step : steps) {
    now_ += step.advance;
    if (step.aliceHandshakes) {
      ASSERT_EQ(Call(*service, "verification.php", handshake).Result(), 0);
    }
    EXPECT_EQ(lease(bob).Result(), step.bobResult);
  }
  EXPECT_EQ(Call(*service, "verification.php", handshake).Result(), devserver::kResultBadLease);
}

TEST_F(SharedStoreTest, JsonLogIsOneObjectPerLineWithSecretsMasked) {
  std::vector<std::string> lines;
  std::mutex mutex;
  devserver::ServiceOptions options = Options(":memory:");
  options.logFormat = devserver::LogFormat::kJson;
  options.log = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  };
  auto service = Open(options);
  ASSERT_TRUE(service);
  Call(*service, "loginin.php", {{"username", "al\"i\\c\xc3\xa9\xff"}, {"password", "secret"}}, "127.0.0.1");
  service->Handle("no\x01such.php", "", "::1");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[0],
      "{\"time\":\"2023-11-14T22:13:20Z\",\"peer\":\"127.0.0.1\",\"script\":\"loginin.php\",\"letter\":\"Z\","
      "\"fields\":{\"password\":\"***\",\"username\":\"al\\\"i\\\\c\xc3\xa9\xef\xbf\xbd\"},"
      "\"outcome\":\"result=2: refused by the service\"}");
  EXPECT_EQ(
      lines[1],
      "{\"time\":\"2023-11-14T22:13:20Z\",\"peer\":\"::1\",\"script\":\"no\\u0001such.php\",\"letter\":\"-\","
      "\"outcome\":\"http status 404\"}");
}

// The figures for the report: bytes of store file and of process memory per
// account, with every field at its longest.
std::size_t FileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}
std::size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(SharedStoreTest, TenThousandLongestRegistrationsCostBoundedSpace) {
  ASSERT_TRUE(dir_.ok());
  auto service = Open(Options(File()));
  ASSERT_TRUE(service);
  constexpr int kAccounts = 10000;
  const std::size_t memoryBefore = ResidentBytes();
  for (int i = 0; i < kAccounts; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 64 - name.size(), 'u');
    const int result =
        Call(*service, "register.php",
             {{"username", name}, {"password", std::string(128, 'p')}, {"agent", std::string(256, 'a')}})
            .Result();
    ASSERT_EQ(result, 0) << i;
  }
  const std::size_t memoryAfter = ResidentBytes();
  const double memoryPerAccount =
      static_cast<double>(memoryAfter > memoryBefore ? memoryAfter - memoryBefore : 0) / kAccounts;
  service.reset();  // the last connection folds the journal into the file
  EXPECT_EQ(FileSize(File() + "-wal"), 0u);
  const double filePerAccount = static_cast<double>(FileSize(File())) / kAccounts;
  std::printf("store file: %.0f bytes per account; resident memory: %.0f bytes per account\n", filePerAccount,
              memoryPerAccount);
  // Name and password are 192 bytes; an index entry repeats the name.
  EXPECT_LT(filePerAccount, 1024.0);
  // AddressSanitizer keeps freed memory resident (its quarantine): the
  // process's growth says nothing about the accounts there.
  if (!PROXYHELPER_TEST_UNDER_ASAN) {
    EXPECT_LT(memoryPerAccount, 1024.0) << "the accounts must live in the store, not in memory";
  }
}

}  // namespace
