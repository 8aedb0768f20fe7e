// `servers` under a cap on its address space, against a catalogue reply
// that is small on the wire and large once expanded: running out of memory
// anywhere ends with exit status 1 and one line saying so, never with an
// abort; and where the library's fetch fits, the output fits too.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliFixture.h"
#include "support/ScriptedServer.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/Seed.h"
#include "wire/Reply.h"

namespace clitest {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

struct CappedRun {
  int status = -1;  // exit status, 128 + N after signal N, -1 when it had to be killed
  std::string err;
};

// The installed program with its address space capped at `cap` bytes and
// stdout to /dev/null (the output is large).
CappedRun RunCapped(std::size_t cap, const std::vector<std::string>& args) {
  testsupport::ChildProcess shell("/bin/sh");
  std::vector<std::string> argv = {
      "-c", "ulimit -v " + std::to_string(cap / 1024) + " && exec \"$0\" \"$@\" >/dev/null",
      PROXYHELPER_CLI_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!shell.SpawnWithPipes(argv)) return {};
  // A braced list runs left to right: the wait reads stderr first.
  return {shell.Wait(std::chrono::seconds(60)), shell.errors()};
}

// The reference service, but the catalogue is `servers` values full of
// control bytes (each one six bytes in JSON), compressed once and keyed
// under letter A.
class HostileCatalogueService {
 public:
  explicit HostileCatalogueService(int servers) {
    const std::string controls(30, '\x01');
    std::string profile = "result=0\n[Hostile]\n";
    for (int i = 1; i <= servers; ++i) {
      profile += std::to_string(i) + "=" + controls + "," + controls + ",1," + controls + "\n";
    }
    std::string error;
    EXPECT_TRUE(devserver::ParseSeed(kSeed, &seed_, &error)) << error;
    service_ = std::make_unique<devserver::AccountService>(seed_, devserver::ServiceOptions());
    server_.SetResponder([this, profile](const testsupport::RecordedRequest& request) {
      const std::string script = request.target.substr(request.target.rfind('/') + 1);
      const devserver::HttpAnswer answer = service_->Handle(script, request.body);
      if (script != "getserverinfo.php" || answer.status != 200 || answer.result != 0) {
        return testsupport::Script::Respond(answer.status, answer.body);
      }
      if (catalogue_.empty()) {
        catalogue_ = wire::EncodeReply(profile, 'A', *service_->keys().ForLetter('A'),
                                       wire::kDefaultCompressThreshold);
      }
      return testsupport::Script::Respond(200, catalogue_);
    });
    EXPECT_TRUE(server_.Start());
    service_->SetListenAddresses({server_.HostPort()});
  }
  std::string Address() const { return server_.HostPort(); }

 private:
  devserver::SeedData seed_;
  std::unique_ptr<devserver::AccountService> service_;
  std::string catalogue_;  // only the server's thread touches it
  testsupport::ScriptedServer server_;
};

TEST_F(CliTest, ServersOutOfMemoryIsStatusOneWithOneLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space cap";
#endif
  // About 10 MB expanded, some 60 MB as JSON; a few hundred bytes on the wire.
  HostileCatalogueService service(100000);
  // The smallest cap (in steps of 16 MiB) the program starts under at all.
  std::size_t base = 0;
  for (std::size_t cap = 16 * kMiB; cap <= 1024 * kMiB && base == 0; cap += 16 * kMiB) {
    if (RunCapped(cap, {"--version"}).status == 0) base = cap;
  }
  ASSERT_NE(base, 0u);

  const std::vector<std::string> json = {"--servers", service.Address(), "-u",     "carol",
                                         "-p",        "carol-pw",        "--json", "servers"};
  int outOfMemory = 0;
  std::size_t fits = 0;
  // Up the caps until the whole run fits: on the way, out of memory strikes
  // wherever the run happens to be.
  for (std::size_t cap = base; cap <= base + 1024 * kMiB && fits == 0; cap += 8 * kMiB) {
    const CappedRun run = RunCapped(cap, json);
    const std::string at =
        std::to_string(cap / kMiB) + " MiB: status " + std::to_string(run.status) + "\n" + run.err;
    // 3: a C library (libcurl, libbz2) that ran short reports a failed exchange.
    ASSERT_TRUE(run.status == 0 || run.status == 1 || run.status == 3) << at;
    EXPECT_EQ(run.err.find("terminate"), std::string::npos) << at;
    if (run.status == 1) {
      EXPECT_TRUE(run.err.find("out of memory") != std::string::npos ||
                  run.err.find(" failed: ") != std::string::npos)
          << at;
      if (run.err == "proxyhelper: out of memory: running servers\n") ++outOfMemory;
    }
    if (run.status == 0) fits = cap;
  }
  ASSERT_NE(fits, 0u);
  EXPECT_GT(outOfMemory, 0) << "no cap between " << base / kMiB << " and " << fits / kMiB
                            << " MiB ran out of memory in servers";

  // The other layouts hold no more than the JSON document does.
  for (const char* layout : {"--jsonl", "--sort=name"}) {
    std::vector<std::string> args(json.begin(), json.end() - 2);
    args.insert(args.end(), {"servers", layout});
    const CappedRun run = RunCapped(fits + 32 * kMiB, args);
    EXPECT_EQ(run.status, 0) << layout << "\n" << run.err;
  }
}

}  // namespace
}  // namespace clitest
