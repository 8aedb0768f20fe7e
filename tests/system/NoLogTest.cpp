// The library writes no log: a whole session, failover and failures
// included, puts not a byte on standard output or standard error, and leaves
// nothing in the application directory but the catalogue cache.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/ReferenceService.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"

namespace {

// Sends descriptors 1 and 2 into files for as long as it lives. Assertions
// must wait until it is gone: their messages would land in the files too.
class OutputCapture {
 public:
  explicit OutputCapture(const std::string& directory)
      : outPath_(directory + "/stdout"), errPath_(directory + "/stderr") {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    savedOut_ = ::dup(1);
    savedErr_ = ::dup(2);
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ok_ = savedOut_ >= 0 && savedErr_ >= 0 && out >= 0 && err >= 0 && ::dup2(out, 1) == 1 &&
          ::dup2(err, 2) == 2;
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
  }

  ~OutputCapture() { Restore(); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  void Restore() {
    if (savedOut_ < 0) return;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::dup2(savedOut_, 1);
    ::dup2(savedErr_, 2);
    ::close(savedOut_);
    ::close(savedErr_);
    savedOut_ = savedErr_ = -1;
  }

  bool ok() const { return ok_; }
  const std::string& outPath() const { return outPath_; }
  const std::string& errPath() const { return errPath_; }

 private:
  std::string outPath_;
  std::string errPath_;
  int savedOut_ = -1;
  int savedErr_ = -1;
  bool ok_ = false;
};

std::string ReadFile(const std::string& path) {
  std::string content;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "<cannot read " + path + ">";
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, got);
  std::fclose(file);
  return content;
}

std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return {"<cannot list>"};
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  ::closedir(dir);
  return names;
}

// The capture itself must see what any layer could write: raw descriptors,
// C stdio and C++ streams, from this thread or another.
TEST(NoLog, CaptureSeesEveryKindOfWrite) {
  testsupport::TempDir captureDir("proxyhelper-nolog-out-");
  ASSERT_TRUE(captureDir.ok());
  OutputCapture capture(captureDir.path());
  ASSERT_TRUE(capture.ok());
  (void)!::write(1, "a", 1);
  std::printf("b");
  std::cout << "c";
  (void)!::write(2, "x", 1);
  std::fprintf(stderr, "y");
  std::thread([] { std::cerr << "z"; }).join();
  capture.Restore();
  EXPECT_EQ(ReadFile(capture.outPath()), "abc");
  EXPECT_EQ(ReadFile(capture.errPath()), "xyz");
}

struct Outcome {
  std::string step;
  int result;
};

TEST(NoLog, WholeSessionWithFailoverWritesNothing) {
  testsupport::TempDir appDir("proxyhelper-nolog-app-");
  testsupport::TempDir captureDir("proxyhelper-nolog-out-");
  ASSERT_TRUE(appDir.ok());
  ASSERT_TRUE(captureDir.ok());
  testsupport::ReferenceService service({"127.0.0.1", "127.0.0.2"});
  ASSERT_TRUE(service.ok());
  const int deadPort = testsupport::ReserveClosedPort("127.0.0.3");
  ASSERT_NE(deadPort, 0);
  const std::string dead = "127.0.0.3:" + std::to_string(deadPort);

  QUILLON::SetExeDirectory(appDir.path());
  GlobalCache::Instance().SetClientCfg("nolog-agent", "1.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
  ProxyHelper& helper = ProxyHelper::Instance();

  std::vector<Outcome> outcomes;
  auto record = [&outcomes](const char* step, int result) { outcomes.push_back({step, result}); };
  {
    OutputCapture capture(captureDir.path());
    ASSERT_TRUE(capture.ok());

    // A dead server first: sign-in fails over to the live one.
    CLoginServers::Instance().Parse(dead + ";" + service.AddressList(), true);
    VPErrorInfo error;
    record("refused SignIn", helper.SignIn({"alice", "not-the-password"}, error));
    record("SignIn", helper.SignIn({"alice", "alice-pass"}, error));
    UserInfo info;
    record("GetUserInfo", helper.GetUserInfo(info));
    // The pushed list holds both live servers; the first one dies now.
    service.StopServer(0);
    DialupInfo lease;
    record("GetDailupInfo", helper.GetDailupInfo(101, lease, error));
    record("ShakeHands", helper.ShakeHands({lease.lendusername, 101}, error));
    record("ReleaseDialupInfo", helper.ReleaseDialupInfo(0));
    ServerCatalogue remote;
    record("GetVpnServers", helper.GetVpnServers(remote));
    ServerCatalogue local;
    record("GetLocalVpnServers", helper.GetLocalVpnServers(local));
    std::vector<ServerOnlineRatio> ratios;
    record("GetOnlineRatio", helper.GetOnlineRatio(ratios));
    std::string version;
    record("GetVersion", helper.GetVersion(version));
    record("Register", helper.Register({"nolog-user", "pw", "", "", "", ""}, error));
    record("Recharge", helper.Recharge({"alice", "alice-pass", "CARD-0002", "2222"}, error));
    record("SignOut", helper.SignOut());
    std::string current;
    int currentPort = 0;
    CLoginServers::Instance().GetCurrServer(current, currentPort);
    // Nobody left to answer.
    service.StopServer(1);
    record("unreachable GetVersion", helper.GetVersion(version));
    capture.Restore();

    EXPECT_EQ(ReadFile(capture.outPath()), "");
    EXPECT_EQ(ReadFile(capture.errPath()), "");
    // The operations after the first server died went to the second one.
    EXPECT_EQ(current + ":" + std::to_string(currentPort), service.Address(1));
    EXPECT_FALSE(remote.empty());
    EXPECT_EQ(local.size(), remote.size());
  }

  const std::vector<std::pair<std::string, int>> expected = {
      {"refused SignIn", 2},  // the service's "wrong user name or password"
      {"SignIn", 0},
      {"GetUserInfo", 0},
      {"GetDailupInfo", 0},
      {"ShakeHands", 0},
      {"ReleaseDialupInfo", 0},
      {"GetVpnServers", 0},
      {"GetLocalVpnServers", 0},
      {"GetOnlineRatio", 0},
      {"GetVersion", 0},
      {"Register", 0},
      {"Recharge", 0},
      {"SignOut", 0},
      {"unreachable GetVersion", RESULT_TRANSPORT_FAILURE},
  };
  ASSERT_EQ(outcomes.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(outcomes[i].step, expected[i].first);
    EXPECT_EQ(outcomes[i].result, expected[i].second) << outcomes[i].step;
  }
  EXPECT_EQ(Entries(appDir.path()), std::set<std::string>{"cache.dat"});

  delete static_cast<ServerConfig*>(GlobalCache::Instance().GetValue("GCP_CUR_SERVERCONFIG"));
  GlobalCache::Instance().SetValue("GCP_CUR_SERVERCONFIG", nullptr);
}

}  // namespace
