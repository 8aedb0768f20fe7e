// The account service's protocol logic, free of sockets: one call per HTTP
// request, from the script name and the raw POST body to the HTTP answer.
// State (accounts, cards, sessions, leases, credential pools) lives in
// memory, seeded at construction, and is guarded by one mutex, so Handle may
// run on any number of server threads at once.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/devserver/CipherKeys.h"
#include "tools/devserver/FormDecoder.h"
#include "tools/devserver/ProfileText.h"
#include "tools/devserver/ReplyEncoder.h"
#include "tools/devserver/Seed.h"

namespace devserver {

struct ServiceOptions {
  CipherKeys keys = CipherKeys::Random();  // pushed as "m1", "m2", "m3"
  // Pushed as "login_server"; empty: the listen addresses joined with ";".
  std::string loginServers;
  // Pushed as "default_login_server"; empty: the first entry of the list.
  std::string defaultLoginServer;
  std::size_t compressThreshold = kDefaultCompressThreshold;
  // Receives one line per request (secret fields masked); may be
  // called from several threads at once; empty: no log.
  std::function<void(const std::string&)> log;
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
  AccountService(const SeedData& seed, ServiceOptions options);
  AccountService(const AccountService&) = delete;
  AccountService& operator=(const AccountService&) = delete;

  // `script` is the file name after "/vpn_intl/", such as "loginin.php".
  // Unknown script: 404. Undecodable body: 400. Otherwise 200 with a
  // framed reply whose "result" is 0 or one of ResultCodes.h.
  HttpAnswer Handle(const std::string& script, const std::string& rawBody);

  // The addresses ("host:port") the service is reachable at, in order; they
  // make up "login_server" unless ServiceOptions names a list.
  void SetListenAddresses(const std::vector<std::string>& addresses);

  const CipherKeys& keys() const { return options_.keys; }

  // Logs, in the request log's format, a request the listeners answered
  // (or dropped) without the service: `outcome` in the words the client's
  // attempt trace will use, such as "http status 413 (body over N bytes)".
  void LogUnserved(const std::string& script, const std::string& outcome) const;

 private:
  struct AccountState {
    Account account;
    std::string magic;  // empty: not signed in
  };
  struct CardState {
    PrepaidCard card;
    bool used = false;
  };
  struct Lease {
    std::string username;
    int serverId = 0;
    std::string pool;
    Credential credential;
  };
  using Handler = ProfileText (AccountService::*)(const FormFields& fields);
  struct Script {
    const char* name;
    Handler handler;
    bool keyed;  // the reply carries credentials or the catalogue: encrypt it
  };
  static const Script* FindScript(const std::string& name);

  // Handlers; called with mutex_ held.
  ProfileText SignIn(const FormFields& fields);
  ProfileText SignOut(const FormFields& fields);
  ProfileText GetVersion(const FormFields& fields);
  ProfileText Register(const FormFields& fields);
  ProfileText Recharge(const FormFields& fields);
  ProfileText GetDailupInfo(const FormFields& fields);
  ProfileText ReleaseDialupInfo(const FormFields& fields);
  ProfileText Verification(const FormFields& fields);
  ProfileText GetUserInfo(const FormFields& fields);
  ProfileText OnlineRatio(const FormFields& fields);
  ProfileText GetServerInfo(const FormFields& fields);

  // The signed-in account that "username" and "magic" name, or null.
  AccountState* Session(const FormFields& fields);
  // Returns the lease's credentials to the pool they came from.
  void FreeLease(const Lease& lease);
  std::string LoginServerList() const;
  void Log(const std::string& script, char letter, const FormFields* fields,
           const std::string& outcome) const;

  const ServiceOptions options_;
  const SeedData seed_;

  std::mutex mutex_;
  std::map<std::string, AccountState> accounts_;
  std::map<std::string, CardState> cards_;
  std::map<int, VpnServer> servers_;
  std::map<std::string, std::deque<Credential>> pools_;
  std::map<std::string, Lease> leases_;  // by "dailsession" token
  std::vector<std::string> listenAddresses_;
};

}  // namespace devserver
