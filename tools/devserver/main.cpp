// proxyhelper-devserver: runs the reference account service on loopback (or
// any) addresses until SIGINT or SIGTERM. See README.md.
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/Catalogue.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/ListenSpec.h"
#include "tools/devserver/Seed.h"
#include "tools/devserver/store/Store.h"
#include "wire/Reply.h"

#ifndef DEVSERVER_VERSION
#define DEVSERVER_VERSION "0.0.0"
#endif

namespace {

struct Arguments {
  std::vector<std::string> listen;
  std::string seedFile;
  int catalogue = -1;
  std::string keys;
  std::string loginServers;
  std::string defaultLoginServer;
  std::size_t compressThreshold = wire::kDefaultCompressThreshold;
  std::vector<std::string> faults;
  std::string tlsCert;
  std::string tlsKey;
  bool quiet = false;
  std::string db;
  std::string logFormat = "text";
  std::size_t maxName = 64;
  std::size_t maxPassword = 128;
  std::size_t maxField = 256;
  int registerRate = 10;
  std::int64_t sessionSeconds = 24 * 60 * 60;
};

int Fail(const std::string& message) {
  std::cerr << "proxyhelper-devserver: " << message << "\n";
  return 2;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  *text = content.str();
  return !in.bad();
}

void LogToStderr(const std::string& line) {
  // One write per line, so lines from server threads do not interleave.
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

int main(int argc, char** argv) {
  // Block the stop signals first: every listener thread inherits the mask,
  // only sigwait below ever sees them, and a signal that comes while the
  // server is still starting is held until it can stop cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  Arguments args;
  CLI::App app{"Reference account service for the proxyhelper client (development and tests)",
               "proxyhelper-devserver"};
  app.set_version_flag("--version", "proxyhelper-devserver " DEVSERVER_VERSION);
  app.add_option("--listen", args.listen,
                 "HOST:PORT to listen on (repeatable; port 0 picks a free port; default 127.0.0.1:8080)");
  app.add_option("--seed", args.seedFile, "seed file (default: the built-in seed.ini)");
  app.add_option("--catalogue", args.catalogue, "replace the seed's VPN server groups by N generated servers")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--keys", args.keys, "cipher key items m1,m2,m3 (default: random)");
  app.add_option("--login-servers", args.loginServers,
                 "\"login_server\" list to push (default: the listen addresses)");
  app.add_option("--default-login-server", args.defaultLoginServer,
                 "\"default_login_server\" to push (default: first login server)");
  app.add_option("--compress-threshold", args.compressThreshold,
                 "compress replies longer than BYTES (default 4096)");
  app.add_option("--fault", args.faults,
                 "HOST:PORT=refuse|500|close|stall|garbage for one --listen address (repeatable)");
  app.add_option("--tls-cert", args.tlsCert,
                 "PEM certificate (chain) to serve HTTPS with on every listen address");
  app.add_option("--tls-key", args.tlsKey, "PEM private key of --tls-cert");
  app.add_flag("--quiet", args.quiet, "no request log on stderr");
  app.add_option("--db", args.db,
                 "store: an SQLite file, :memory:, or postgresql://... (default: "
                 "$XDG_STATE_HOME/proxyhelper-devserver/devserver.db)");
  app.add_option("--log-format", args.logFormat, "request log as text or json (one object per line)")
      ->check(CLI::IsMember({"text", "json"}));
  app.add_option("--max-name", args.maxName, "longest user name in bytes (default 64)")
      ->check(CLI::Range(1, 1 << 20));
  app.add_option("--max-password", args.maxPassword, "longest password in bytes (default 128)")
      ->check(CLI::Range(1, 1 << 20));
  app.add_option("--max-field", args.maxField, "longest other field in bytes (default 256)")
      ->check(CLI::Range(1, 1 << 20));
  app.add_option("--register-rate", args.registerRate,
                 "registrations per client address per minute (default 10; 0: no limit)")
      ->check(CLI::Range(0, 1000000));
  app.add_option("--session-lifetime", args.sessionSeconds, "seconds a session lasts (default 86400)")
      ->check(CLI::Range(static_cast<std::int64_t>(1), static_cast<std::int64_t>(10) * 365 * 24 * 3600));
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& success) {
    return app.exit(success);  // --help, --version
  } catch (const CLI::ParseError& error) {
    app.exit(error);  // prints the parser's message
    return 2;         // every usage error gets the one documented status
  }

  if (args.tlsCert.empty() != args.tlsKey.empty()) {
    return Fail("--tls-cert and --tls-key go together");
  }
  const bool tls = !args.tlsCert.empty();
  for (const std::string& file : {args.tlsCert, args.tlsKey}) {
    std::string ignored;
    if (tls && !ReadFile(file, &ignored)) return Fail("cannot read " + file);
  }
  if (args.listen.empty()) args.listen.push_back("127.0.0.1:8080");
  std::vector<devserver::ListenSpec> specs;
  std::string error;
  for (const std::string& text : args.listen) {
    devserver::ListenSpec spec;
    if (!devserver::ParseListenSpec(text, &spec, &error)) return Fail(error);
    spec.tls = tls;
    specs.push_back(spec);
  }
  for (const std::string& text : args.faults) {
    if (!devserver::ApplyFault(text, &specs, &error)) return Fail(error);
  }

  std::string seedText = devserver::DefaultSeedText();
  if (!args.seedFile.empty() && !ReadFile(args.seedFile, &seedText)) {
    return Fail("cannot read seed file " + args.seedFile);
  }
  devserver::SeedData seed;
  if (!devserver::ParseSeed(seedText, &seed, &error)) {
    return Fail((args.seedFile.empty() ? std::string("built-in seed") : args.seedFile) + ": " + error);
  }
  if (args.catalogue >= 0) seed.groups = devserver::GenerateCatalogue(args.catalogue);

  devserver::ServiceOptions options;
  if (!args.keys.empty() && !devserver::CipherKeys::Parse(args.keys, &options.keys, &error)) {
    return Fail("--keys: " + error);
  }
  // Without --keys the store's keys hold (random ones fill a new store).
  options.keysFromStore = args.keys.empty();
  options.store = args.db;
  if (options.store.empty()) {
    options.store = devserver::DefaultStorePath();
    if (options.store.empty()) return Fail("neither XDG_STATE_HOME nor HOME is set: give --db");
    std::error_code made;
    const std::filesystem::path folder = std::filesystem::path(options.store).parent_path();
    std::filesystem::create_directories(folder, made);
    if (made) return Fail("cannot create " + folder.string() + ": " + made.message());
    // The store holds passwords and keys: keep the folder to its owner.
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, made);
  }
  options.logFormat = args.logFormat == "json" ? devserver::LogFormat::kJson : devserver::LogFormat::kText;
  options.maxName = args.maxName;
  options.maxPassword = args.maxPassword;
  options.maxField = args.maxField;
  options.registerRate = args.registerRate;
  options.sessionSeconds = args.sessionSeconds;
  options.loginServers = args.loginServers;
  options.defaultLoginServer = args.defaultLoginServer;
  options.compressThreshold = args.compressThreshold;
  if (!args.quiet) options.log = LogToStderr;

  std::unique_ptr<devserver::AccountService> service = devserver::AccountService::Open(seed, options, &error);
  if (service == nullptr) return Fail(error);
  devserver::DevServer server(service.get());
  if (tls) server.SetTlsFiles(devserver::TlsFiles{args.tlsCert, args.tlsKey});
  if (!server.Start(specs, &error)) return Fail(error);
  for (const devserver::BoundListener& bound : server.listeners()) {
    // Anyone who can reach the port can sign in to the test accounts and
    // read the cipher keys; say so even with --quiet.
    if (!devserver::IsLoopbackHost(bound.host)) {
      std::cerr << "proxyhelper-devserver: warning: listening on " << bound.Address()
                << ", outside loopback: anyone who can reach it can use the test accounts and "
                   "cipher keys\n";
    }
  }
  for (const devserver::BoundListener& bound : server.listeners()) {
    std::cout << "listening on " << bound.ClientAddress();
    if (bound.fault != devserver::FaultMode::kNone) {
      std::cout << " fault=" << devserver::FaultModeName(bound.fault);
    }
    std::cout << "\n";
  }
  std::cout.flush();

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  server.Stop();
  if (!args.quiet) std::cerr << "proxyhelper-devserver: stopped on signal " << received << "\n";
  return 0;
}
