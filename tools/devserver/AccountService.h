// The account service's protocol logic, free of sockets: one call per HTTP
// request, from the script name and the raw POST body to the HTTP answer.
// What the service knows (accounts, cards, sessions, leases, credential
// pools, the cipher keys) lives in a Store (store/Store.h), so several
// instances sharing one database serve one deployment; the catalogue and
// the settings of the seed stay in memory. Handle may run on any number of
// server threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/devserver/CipherKeys.h"
#include "tools/devserver/ProfileText.h"
#include "tools/devserver/Seed.h"
#include "tools/devserver/store/Store.h"
#include "wire/Form.h"
#include "wire/Reply.h"

namespace devserver {

// Requests arrive as the shared codec reads them.
using wire::FormFields;

enum class LogFormat {
  kText,  // "script letter k=v ... -> outcome"
  kJson,  // one JSON object per line: time, peer, script, letter, fields, outcome
};

struct ServiceOptions {
  // The store (see OpenStore): ":memory:" keeps everything in this instance
  // and forgets it on destruction.
  std::string store = ":memory:";
  int storeBusyTimeoutMs = 5000;
  // The keys offered to the store (pushed as "m1", "m2", "m3"). A store
  // without keys takes them; a store with other keys refuses them unless
  // `keysFromStore`, which adopts the stored ones.
  CipherKeys keys = CipherKeys::Random();
  bool keysFromStore = false;
  // Pushed as "login_server"; empty: the listen addresses joined with ";".
  std::string loginServers;
  // Pushed as "default_login_server"; empty: the first entry of the list.
  std::string defaultLoginServer;
  std::size_t compressThreshold = wire::kDefaultCompressThreshold;
  // Longest accepted field value in bytes: "username"; "password" and
  // "cardpw"; every other field. Longer: result 1 (kResultBadRequest).
  std::size_t maxName = 64;
  std::size_t maxPassword = 128;
  std::size_t maxField = 256;
  // register.php calls per peer address per minute (0: no limit); more get
  // HTTP 429. Requests without a peer address are not limited. In-process
  // services (tests, demos) register freely; the executable sets 10.
  int registerRate = 0;
  // A session lasts this long from its sign-in.
  std::int64_t sessionSeconds = 24 * 60 * 60;
  // A lease without a handshake (verification.php) for this many heartbeat
  // slots ends and its credentials go back to the pool.
  int leaseMissedHeartbeats = 3;
  // Seconds since the Unix epoch; empty: the system clock.
  std::function<std::int64_t()> clock;
  // Receives one line per request (secret fields masked); may be
  // called from several threads at once; empty: no log.
  std::function<void(const std::string&)> log;
  LogFormat logFormat = LogFormat::kText;
};

struct HttpAnswer {
  int status = 200;
  std::string contentType = "text/plain";
  std::string body;
  int result = 0;       // the reply's "result" when status is 200
  std::string profile;  // the plain profile text behind `body` (status 200)
};

class AccountService {
 public:
  // Opens options.store, imports `seed` if the store was never seeded, and
  // settles the cipher keys. On failure ok() is false, error() says why and
  // every request gets HTTP 503; Open reports that as null instead.
  AccountService(const SeedData& seed, ServiceOptions options);
  AccountService(const AccountService&) = delete;
  AccountService& operator=(const AccountService&) = delete;

  // As the constructor; null with `error` set when the service cannot start
  // (store unreadable, cipher keys differing from the stored ones).
  static std::unique_ptr<AccountService> Open(const SeedData& seed, ServiceOptions options,
                                              std::string* error);

  bool ok() const { return store_ != nullptr; }
  const std::string& error() const { return startError_; }

  // `script` is the file name after "/vpn_intl/", such as "loginin.php";
  // `peer` the client's IP address as text (empty: unknown). Unknown
  // script: 404. Undecodable body: 400. Too many registrations from `peer`:
  // 429. Store failing: 503. Otherwise 200 with a framed reply whose
  // "result" is 0 or one of ResultCodes.h.
  HttpAnswer Handle(const std::string& script, const std::string& rawBody, const std::string& peer);
  // As above with no peer address.
  HttpAnswer Handle(const std::string& script, const std::string& rawBody);

  // True when the store answers a trivial query.
  bool Healthy() const;

  // The addresses ("host:port") the service is reachable at, in order; they
  // make up "login_server" unless ServiceOptions names a list.
  void SetListenAddresses(const std::vector<std::string>& addresses);

  // The keys in use: the store's.
  const CipherKeys& keys() const { return keys_; }

  // Logs, in the request log's format, a request the listeners answered
  // (or dropped) without the service: `outcome` in the words the client's
  // attempt trace will use, such as "http status 413 (body over N bytes)".
  void LogUnserved(const std::string& script, const std::string& outcome) const;

 private:
  // A handler's answer: a reply, or a store failure (HTTP 503).
  struct Outcome {
    ProfileText reply{0, std::string()};
    bool storeFailed = false;
  };
  static Outcome Reply(ProfileText reply);
  static Outcome StoreFailed();
  // The refusal for a request whose "username" and "magic" name no live
  // session (or whose store failed); none, with `account` filled, otherwise.
  std::optional<Outcome> RequireSession(const FormFields& fields, Account* account);
  // The same for "username" and "password": the account they name.
  std::optional<Outcome> RequirePassword(const FormFields& fields, Account* account);
  using Handler = Outcome (AccountService::*)(const FormFields& fields);
  struct Script {
    const char* name;
    Handler handler;
    bool keyed;  // the reply carries credentials or the catalogue: encrypt it
  };
  static const Script* FindScript(const std::string& name);

  Outcome SignIn(const FormFields& fields);
  Outcome SignOut(const FormFields& fields);
  Outcome GetVersion(const FormFields& fields);
  Outcome Register(const FormFields& fields);
  Outcome Recharge(const FormFields& fields);
  Outcome GetDailupInfo(const FormFields& fields);
  Outcome ReleaseDialupInfo(const FormFields& fields);
  Outcome Verification(const FormFields& fields);
  Outcome GetUserInfo(const FormFields& fields);
  Outcome OnlineRatio(const FormFields& fields);
  Outcome GetServerInfo(const FormFields& fields);

  std::int64_t Now() const;
  // Ends leases silent for longer than the missed heartbeats allow.
  bool ExpireSilentLeases();
  // The refusal text for the first field longer than its limit, or empty.
  std::string OverLongField(const FormFields& fields) const;
  // Counts a registration from `peer`; false when over the rate.
  bool AdmitRegistration(const std::string& peer);
  std::string LoginServerList() const;
  void Log(const std::string& peer, const std::string& script, char letter, const FormFields* fields,
           const std::string& outcome) const;

  const ServiceOptions options_;
  const SeedData seed_;
  std::map<int, VpnServer> servers_;  // the catalogue, from the seed
  std::unique_ptr<Store> store_;      // null: the service could not start
  std::string startError_;
  CipherKeys keys_;

  mutable std::mutex mutex_;  // guards what follows
  std::vector<std::string> listenAddresses_;
  std::map<std::string, std::deque<std::int64_t>> registrations_;  // per peer: times in the last minute
  std::uint64_t registrationCalls_ = 0;
};

}  // namespace devserver
