// Helpers shared by the reference service's tests: building request bodies
// the way the client does, and reading replies through the client's own
// decoder and profile parser.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/CipherKeys.h"
#include "tools/devserver/Seed.h"
#include "tools/devserver/store/Store.h"
#include "wire/Cipher.h"

namespace devserver_test {

using Fields = std::map<std::string, std::string>;

inline long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

// Fixed keys, so that tests can encrypt requests on their own.
inline devserver::CipherKeys TestKeys() {
  devserver::CipherKeys keys;
  keys.m1 = "first-key-item-0001";
  keys.m2 = "second-key-item-0002";
  keys.m3 = "third-key-item-0003";
  return keys;
}

// "k=v&" per field in key order, as the client renders its parameters.
inline std::string FormText(const Fields& fields) {
  std::string form;
  for (const auto& field : fields) form += field.first + "=" + field.second + "&";
  return form;
}

// The POST body for `form` under `letter`: 'Z' unkeyed, otherwise keyed
// under the key derived from `keyItem`.
inline std::string RequestBody(const std::string& form, char letter, const std::string& keyItem = "") {
  const std::string payload = letter == 'Z' ? form : TwofishEncrypt(DeriveKey(keyItem), form);
  return std::string(1, letter) + "=" + QUILLON::URLEncode(Base64Encode(payload));
}

// loginin.php's body as the client sends it.
inline std::string SignInBody(const std::string& user = "alice", const std::string& password = "a-pw") {
  return RequestBody(FormText({{"agent", "t"}, {"lang", "en"}, {"password", password}, {"username", user}}),
                     'Z');
}

// A raw HTTP/1.1 POST; `headers` are "Name: value\r\n" lines.
inline std::string HttpPost(const std::string& path, const std::string& body,
                            const std::string& headers = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + headers + "\r\n" + body;
}

// The body of a raw HTTP answer; empty when its head never ended.
inline std::string HttpBody(const std::string& answer) {
  const std::string::size_type at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

// Tells the client side (GlobalCache) the service's keys, as GetUserInfo would.
inline void InstallClientKeys(const devserver::CipherKeys& keys) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", keys.m1);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", keys.m2);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", keys.m3);
}

// A reply as the client reads it: DecodeBody, then the profile parser.
struct ClientView {
  bool parsed = false;
  CProfileFile profile;

  const ProfileSection* Section(const std::string& name) const {
    for (const ProfileSection& section : profile.GetSections()) {
      if (section == name) return &section;
    }
    return nullptr;
  }
  std::string Item(const std::string& section, const std::string& key) const {
    const ProfileSection* found = Section(section);
    return found == nullptr ? std::string("<no section>") : found->GetItem(key);
  }
  int Result() const {
    const ProfileSection* envelope = Section("");
    return envelope != nullptr && envelope->IsItemExist("result") ? envelope->GetItemInt("result") : -1;
  }
};

inline ClientView ReadAsClient(const std::string& body) {
  ClientView view;
  view.parsed = view.profile.Load(DecodeBody(body));
  return view;
}

// A small seed that the tests control completely.
inline const char* TestSeedText() {
  return R"(# test seed
[service]
version=9.8.7
heartbeat_slot=45
onlineratio_slot=120
[serverlevel]
1=Basic
2=Silver
[warning]
tip=1
message=maintenance tonight
url=http://example.com/n
[new_account]
userlevel=1
moneyleft=5
timeleft=1 day
[account:alice]
password=a-pw
userlevel=2
moneyleft=10
timeleft=3 days
vpnpd=pd-a
usermode=1
simuses=2
timetip=4
[account:bob]
password=b-pw
[card:C1]
cardpw=p1
value=50
[card:BIG]
cardpw=pbig
value=2147483600
[group:Europe]
101=Frankfurt,fra.example.net,1,Germany
102=Paris,par.example.net,2,France
[group:Asia]
201=Tokyo,tyo.example.net,1,Japan
[pool:101]
d101=p101
[pool:shared]
dsh=psh
)";
}

inline devserver::SeedData TestSeed() {
  devserver::SeedData seed;
  std::string error;
  if (!devserver::ParseSeed(TestSeedText(), &seed, &error)) seed.version = "seed error: " + error;
  return seed;
}

inline devserver::Account NewAccount(const std::string& name, const std::string& password) {
  devserver::Account account;
  account.username = name;
  account.password = password;
  return account;
}

inline devserver::LeaseRecord LeaseFor(const std::string& token, const std::string& user, int server,
                                       std::int64_t at) {
  devserver::LeaseRecord lease;
  lease.token = token;
  lease.username = user;
  lease.serverId = server;
  lease.lastHandshake = at;
  return lease;
}

}  // namespace devserver_test
