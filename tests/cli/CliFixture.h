// Common ground for the command-line client's tests: a private home (HOME
// and XDG_* point into a temporary directory), no PROXYHELPER_* settings
// from outside, the reference service in-process on loopback, and a way to
// run the tool in-process with captured output.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "tools/cli/CliApp.h"
#include "tools/devserver/InProcessService.h"

namespace clitest {

// One small account, one VPN server with a single credential in its pool, so
// a second lease for it succeeds only after the first was released.
constexpr char kSeed[] =
    "[service]\nversion=9.8.7\nheartbeat_slot=7\nonlineratio_slot=11\n"
    "[serverlevel]\n1=Bronze\n2=Steel\n"
    "[warning]\ntip=1\nmessage=mind the gap\nurl=http://notice.example\n"
    "[account:carol]\npassword=carol-pw\nmoneyleft=42\ntimeleft=9 days\n"
    "[card:C-1]\ncardpw=c1\nvalue=5\n"
    "[group:beta]\n7=Beta 7,b7.example,2,Here\n8=Beta 8,b8.example,1,There\n"
    "[group:Alpha]\n9=Alpha 9,a9.example,1,Elsewhere\n"
    "[pool:7]\nlend7=pw7\n";

// What a broken or hostile setup may leave where the tool expects one of its
// files.
enum class Planted { kFifo, kLinkToDevZero, kDirectory };

// Puts `what` at `path`, creating the parent directories; false on failure.
inline bool Plant(Planted what, const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  switch (what) {
    case Planted::kFifo:
      return ::mkfifo(path.c_str(), 0600) == 0;
    case Planted::kLinkToDevZero:
      return ::symlink("/dev/zero", path.c_str()) == 0;
    case Planted::kDirectory:
      return ::mkdir(path.c_str(), 0700) == 0;
  }
  return false;
}

// A loopback server that takes connections and never answers: every
// attempt there runs into its time-out.
class SilentListener {
 public:
  SilentListener() {
    testsupport::Script silent = testsupport::Script::Misbehave(testsupport::Behaviour::kSilent);
    silent.stallMs = 60000;
    server_.SetFallback(silent);
    if (server_.Start()) address_ = server_.HostPort();
  }
  // "127.0.0.1:port"; empty when it could not listen.
  const std::string& address() const { return address_; }

 private:
  testsupport::ScriptedServer server_;
  std::string address_;
};

// The installed program as a child process.
class ChildProcess : public testsupport::ChildProcess {
 public:
  ChildProcess() : testsupport::ChildProcess(PROXYHELPER_CLI_BINARY) {}
};

// The reference service's program as a child process.
class ServiceProcess : public testsupport::ChildProcess {
 public:
  ServiceProcess() : testsupport::ChildProcess(PROXYHELPER_DEVSERVER_BINARY) {}
};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  // The JSON document on stdout; a discarded value when it does not parse.
  nlohmann::json Json() const { return nlohmann::json::parse(out, nullptr, false); }
};

// Each member of the object `fields` is in `doc` with the same value; a
// name starting with '/' is a JSON pointer ("/errors/0/result"); null: no
// such member at all.
inline void ExpectFields(const nlohmann::json& doc, const nlohmann::json& fields) {
  for (const auto& field : fields.items()) {
    const bool pointer = field.key().rfind('/', 0) == 0;
    const nlohmann::json::json_pointer at(pointer ? field.key() : "");
    const bool there = pointer ? doc.contains(at) : doc.contains(field.key());
    const nlohmann::json found = !there ? nlohmann::json() : pointer ? doc.at(at) : doc.at(field.key());
    EXPECT_EQ(found, field.value()) << field.key() << " in " << doc.dump();
    if (field.value().is_null()) {
      EXPECT_FALSE(there) << field.key() << " in " << doc.dump();
    }
  }
}

// A console on strings, for driving the tool's parts directly.
struct StringConsole {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  proxycli::Console console{in, out, err, false, false};
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok());
    setenv("HOME", home_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_.path() + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home_.path() + "/cache").c_str(), 1);
    setenv("XDG_STATE_HOME", (home_.path() + "/state").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home_.path().c_str(), 1);  // private (0700), like the real one
    for (const char* name :
         {"PROXYHELPER_SERVERS", "PROXYHELPER_USER", "PROXYHELPER_PASSWORD", "PROXYHELPER_LANG",
          "PROXYHELPER_AGENT", "PROXYHELPER_CLIENT_VERSION", "PROXYHELPER_CACHE_DIR", "PROXYHELPER_JSON",
          "PROXYHELPER_CONFIG", "PROXYHELPER_CARD_PASSWORD", "PROXYHELPER_CA_BUNDLE", "PROXYHELPER_TIMEOUT",
          "PROXYHELPER_OPERATION_TIMEOUT"}) {
      unsetenv(name);
    }
  }

  // Starts the service; `deadFirst` lists a refusing address before it.
  void StartService(bool deadFirst = false, const std::string& seed = kSeed) {
    devserver::InProcessOptions options;
    options.seedText = seed;
    options.deadServerFirst = deadFirst;
    std::shared_ptr<RequestLog> log = log_;
    options.log = [log](const std::string& line) {
      std::lock_guard<std::mutex> lock(log->mutex);
      // "<script> <letter> <fields...> -> <outcome>"
      const std::size_t arrow = line.rfind(" -> ");
      log->requests.push_back(line.substr(0, line.find(' ')) + " -> " +
                              (arrow == std::string::npos ? std::string() : line.substr(arrow + 4)));
    };
    std::string error;
    ASSERT_TRUE(server_.Start(options, &error)) << error;
  }

  // Runs the tool with `args` (program name added) and `input` on stdin.
  static Outcome Run(const std::vector<std::string>& args, const std::string& input = std::string()) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    proxycli::Console console{in, out, err, false, false};
    std::vector<std::string> argv = {"proxyhelper"};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome outcome;
    outcome.status = proxycli::RunCli(argv, console);
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
  }
  // Run, expected to end with `status`.
  static Outcome RunExpecting(int status, const std::vector<std::string>& args,
                              const std::string& input = std::string()) {
    Outcome outcome = Run(args, input);
    EXPECT_EQ(outcome.status, status) << ::testing::PrintToString(args) << "\n" << outcome.err;
    return outcome;
  }

  // The global options for carol on the live service.
  std::vector<std::string> Carol(std::initializer_list<std::string> rest) const {
    std::vector<std::string> args = {"--servers", server_.LiveAddress(), "--user",
                                     "carol",     "--password",          "carol-pw"};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  // The requests the service answered, as "<script> -> <outcome>", such as
  // "releasedialupinfo.php -> result=0: parsed".
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(log_->mutex);
    return log_->requests;
  }
  // Position of the last request equal to `entry`, or -1.
  int LastRequest(const std::string& entry) const {
    const std::vector<std::string> requests = Requests();
    for (int i = static_cast<int>(requests.size()) - 1; i >= 0; --i) {
      if (requests[static_cast<std::size_t>(i)] == entry) return i;
    }
    return -1;
  }

  std::string StateFile(const std::string& name) const { return home_.path() + "/state/proxyhelper/" + name; }
  std::string CacheFile(const std::string& name) const { return home_.path() + "/cache/proxyhelper/" + name; }

  struct RequestLog {
    std::mutex mutex;
    std::vector<std::string> requests;
  };

  testsupport::TempDir home_{"proxyhelper-cli-"};
  std::shared_ptr<RequestLog> log_ = std::make_shared<RequestLog>();
  devserver::InProcessService server_;
};

}  // namespace clitest
