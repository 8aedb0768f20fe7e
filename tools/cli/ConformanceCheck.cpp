#include "tools/cli/ConformanceCheck.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

// MD5 lives in Crypto++'s "weak" namespace; the protocol's key derivation
// requires it.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <cryptopp/twofish.h>

#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/Views.h"
#include "wire/Vocabulary.h"

namespace proxycli {

namespace {

const char kWireDoc[] = "docs/wire-protocol.md#";

enum Rule : std::size_t {
  kVersion,
  kSignInAccepted,
  kSignInRefused,
  kUserInfoKeys,
  kUserInfoTiming,
  kUserInfoServers,
  kCatalogueDecodes,
  kCatalogueKeyed,
  kCatalogueGroups,
  kCatalogueFields,
  kRatio,
  kLease,
  kHandshakes,
  kRelease,
  kHandshakeAfterRelease,
  kSignOut,
  kUndecodableRefused,
  kLimits,
  kRegister,
  kRecharge,
  kRuleCount,
};

const std::vector<RuleInfo> kRules = {
    {"version.answered", "getversion.php answers with a version", "getversionphp-getversion"},
    {"signin.accepted", "the right password opens a session with a token (\"magic\")", "logininphp-signin"},
    {"signin.refused", "a wrong password is refused: non-zero \"result\" and an \"errdesc\"",
     "9-envelope-result-and-errdesc"},
    {"userinfo.keys", "the user info pushes the three cipher keys m1, m2, m3", "6-key-letters-and-keys"},
    {"userinfo.timing", "the user info pushes heartbeat_slot and onlineratio_slot",
     "getuserinfophp-getuserinfo"},
    {"userinfo.servers", "a pushed login_server list is usable and answers", "getuserinfophp-getuserinfo"},
    {"catalogue.decodes", "the catalogue decodes under the pushed keys and lists servers", "7-reply-framing"},
    {"catalogue.keyed", "the catalogue reply is keyed (A, B or C), optionally bzip2-compressed",
     "getserverinfophp-getvpnservers-keyed"},
    {"catalogue.groups", "every catalogue group is a named section", "getserverinfophp-getvpnservers-keyed"},
    {"catalogue.fields", "every entry is id=name,address,level,location with numeric id and level",
     "getserverinfophp-getvpnservers-keyed"},
    {"ratio.parses", "the online ratio lists servers with integer percentages",
     "onlineratiophp-getonlineratio"},
    {"lease.granted", "a lease carries a lent user name and password",
     "getdailupinfophp-getdailupinfo-keyed"},
    {"lease.handshakes", "two handshakes on the lease are accepted", "verificationphp-shakehands"},
    {"lease.released", "the lease is released", "releasedialupinfophp-releasedialupinfo"},
    {"lease.gone", "a handshake after the release is refused", "verificationphp-shakehands"},
    {"signout.ends-session", "sign-out ends the session: the user info is then refused", "logoutphp-signout"},
    {"keyed.undecodable-refused",
     "a keyed request the service cannot decode is refused, not answered with success", "5-request-body"},
    {"replies.within-limits", "every reply is within the client's body and entry bounds", "3-http-reply"},
    {"register.accepted", "registration creates an account once and refuses it the second time",
     "registerphp-register-and-rechargephp-recharge"},
    {"recharge.accepted", "a prepaid card is credited", "registerphp-register-and-rechargephp-recharge"},
};

// ---- the wire, as docs/wire-protocol.md describes it --------------------

std::string Base64(const std::string& bytes) {
  std::string text;
  CryptoPP::StringSource(bytes, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), false));
  return text;
}

std::string Unbase64(const std::string& text) {
  std::string bytes;
  CryptoPP::StringSource(text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(bytes)));
  return bytes;
}

// The Twofish key of a key item: the lower-case hex text of its MD5.
std::string DerivedKey(const std::string& item) {
  CryptoPP::Weak::MD5 md5;
  std::string hex;
  CryptoPP::StringSource(
      item, true,
      new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false)));
  return hex;
}

std::string Twofish(const std::string& key, std::string bytes, bool encrypt) {
  if (encrypt && bytes.size() % 16 != 0) bytes.append(16 - bytes.size() % 16, '\0');
  bytes.resize(bytes.size() / 16 * 16);  // complete blocks only
  std::string out(bytes.size(), '\0');
  const auto* k = reinterpret_cast<const CryptoPP::byte*>(key.data());
  auto* o = reinterpret_cast<CryptoPP::byte*>(&out[0]);
  const auto* i = reinterpret_cast<const CryptoPP::byte*>(bytes.data());
  if (bytes.empty()) return out;
  if (encrypt) {
    CryptoPP::ECB_Mode<CryptoPP::Twofish>::Encryption cipher(k, key.size());
    cipher.ProcessData(o, i, bytes.size());
  } else {
    CryptoPP::ECB_Mode<CryptoPP::Twofish>::Decryption cipher(k, key.size());
    cipher.ProcessData(o, i, bytes.size());
  }
  return out;
}

std::string KeyItem(char letter) {
  std::string value;
  GlobalCache::Instance().GetConfigItem(std::string(protocol::kGcCipherPrefix) + letter, value);
  return value;
}

struct RawReply {
  bool answered = false;  // an HTTP response arrived
  int status = 0;
  std::string body;
  char letter = 0;
  bool compressed = false;
  bool decoded = false;
  CProfileFile profile;
};

// Decodes a reply body as the client does: Z or a key letter, Base64,
// Twofish, an optional protocol::kCompressedMarker bzip2 stream, then profile text.
void DecodeReply(RawReply& reply) {
  if (reply.body.size() <= 2) return;
  reply.letter = reply.body[0];
  std::string payload = reply.body.substr(2);
  std::string text;
  try {
    if (reply.letter == 'Z') {
      text = Unbase64(payload);
    } else {
      const std::string item = KeyItem(reply.letter);
      if (item.empty()) {
        text = reply.body;
      } else {
        text = Twofish(DerivedKey(item), Unbase64(payload), false);
      }
    }
  } catch (const CryptoPP::Exception&) {
    return;
  }
  if (text.compare(0, 4, protocol::kCompressedMarker) == 0) {
    reply.compressed = true;
    std::string expanded;
    CMemBZ2Decompress bzip2(text.data() + 4, text.size() - 4, expanded);
    if (bzip2.Decompress() == 0) return;
    text.swap(expanded);
  }
  // Bytes decrypted under the wrong key often parse as one odd item: only a
  // reply with its envelope's "result" counts as decoded.
  reply.decoded = reply.profile.Load(text) && !reply.profile.GetSections().empty() &&
                  reply.profile.GetSections().front().GetSetionName().empty() &&
                  reply.profile.GetSections().front().IsItemExist(protocol::kResult);
}

// One POST to the current account server, with the form built as the
// client builds it, unkeyed ('Z') or under a key letter.
RawReply Post(const Settings& settings, const std::string& script,
              const std::map<std::string, std::string>& fields, char letter,
              const std::string* rawBody = nullptr) {
  RawReply reply;
  std::string host;
  int port = 0;
  bool secure = false;
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  std::string form;
  for (const auto& field : fields) form += field.first + "=" + field.second + "&";
  std::string body;
  if (rawBody != nullptr) {
    body = *rawBody;
  } else if (letter == 'Z') {
    body = "Z=" + QUILLON::URLEncode(Base64(form));
  } else {
    body = std::string(1, letter) + "=" +
           QUILLON::URLEncode(Base64(Twofish(DerivedKey(KeyItem(letter)), form, true)));
  }
  const std::string hostText = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  httplib::Client client((secure ? "https://" : "http://") + hostText + ":" + std::to_string(port));
  client.set_connection_timeout(5);
  client.set_read_timeout(30);
  if (secure) {
    client.enable_server_certificate_verification(true);
    if (!settings.caBundle.empty()) client.set_ca_cert_path(settings.caBundle.c_str());
  }
  const httplib::Headers headers = {
      {"User-Agent", settings.agent}, {"Accept", "*/*"}, {"Cache-Control", "no-cache"}};
  const auto result = client.Post((protocol::kScriptDirectory + script).c_str(), headers, body,
                                  "application/x-www-form-urlencoded");
  if (!result) return reply;
  reply.answered = true;
  reply.status = result->status;
  reply.body = result->body;
  if (reply.status == 200) DecodeReply(reply);
  return reply;
}

const ProfileSection* Envelope(const CProfileFile& profile) {
  for (const ProfileSection& section : profile.GetSections()) {
    if (section.GetSetionName().empty()) return &section;
  }
  return nullptr;
}

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Code(int result) { return ResultHex(result) + " " + ResultName(result); }

// Entries of an account-server list that the documented syntax accepts:
// [http://|https://]host[:port], host a name or a bracketed IPv6 literal,
// port 1 to 65535; separated by ";", "," or white space.
int UsableEntries(const std::string& list) {
  int usable = 0;
  std::size_t pos = 0;
  auto separator = [](char c) { return c == ';' || c == ',' || c == ' ' || (c >= '\t' && c <= '\r'); };
  while (pos < list.size()) {
    while (pos < list.size() && separator(list[pos])) ++pos;
    std::size_t end = pos;
    while (end < list.size() && !separator(list[end])) ++end;
    std::string entry = list.substr(pos, end - pos);
    pos = end;
    if (entry.empty()) continue;
    std::string lower = entry;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    for (const char* scheme : {"http://", "https://"}) {
      if (lower.rfind(scheme, 0) == 0) {
        entry = entry.substr(std::string(scheme).size());
        if (!entry.empty() && entry.back() == '/') entry.pop_back();
        break;
      }
    }
    std::string host = entry;
    std::string port;
    if (!entry.empty() && entry[0] == '[') {
      const std::size_t close = entry.find(']');
      if (close == std::string::npos) continue;
      host = entry.substr(1, close - 1);
      if (close + 1 < entry.size()) {
        if (entry[close + 1] != ':') continue;
        port = entry.substr(close + 2);
      }
    } else if (entry.find(':') != std::string::npos) {
      host = entry.substr(0, entry.find(':'));
      port = entry.substr(entry.find(':') + 1);
    }
    const bool hostOk = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == ':';
    });
    const bool portOk =
        port.empty() || (IsDecimal(port) && std::stoll(port) >= 1 && std::stoll(port) <= 65535);
    if (hostOk && portOk) ++usable;
  }
  return usable;
}

// ---- the story -----------------------------------------------------------

class Checker {
 public:
  Checker(const Settings& settings, const std::string& password, const CheckOptions& options)
      : settings_(settings), password_(password), options_(options), helper_(ProxyHelper::Instance()) {
    for (const RuleInfo& rule : kRules) {
      RuleResult result;
      result.id = rule.id;
      result.description = rule.description;
      result.section = std::string(kWireDoc) + rule.anchor;
      result.detail = "not reached";
      results_.push_back(result);
    }
  }

  std::vector<RuleResult> Run() {
    // A subscription of its own: the handler that -v installed in the
    // application's slot keeps reporting.
    const ProxyHelperControl::TraceToken token =
        ProxyHelperControl::AddAttemptTrace([this](const AttemptTrace& attempt) {
          largestBody_ = std::max(largestBody_, attempt.bodyBytes);
          if (attempt.outcome == AttemptOutcome::kBodyTooBig) overLimit_ = true;
        });
    struct Unsubscribe {
      ProxyHelperControl::TraceToken token;
      ~Unsubscribe() { ProxyHelperControl::RemoveAttemptTrace(token); }
    } unsubscribe{token};
    Account();
    return results_;
  }

 private:
  void Pass(Rule rule, const std::string& detail = std::string()) { Set(rule, RuleVerdict::kPass, detail); }
  void Fail(Rule rule, const std::string& detail) { Set(rule, RuleVerdict::kFail, detail); }
  void Skip(Rule rule, const std::string& why) { Set(rule, RuleVerdict::kSkip, why); }
  void Set(Rule rule, RuleVerdict verdict, const std::string& detail) {
    results_[rule].verdict = verdict;
    results_[rule].detail = detail;
  }
  void SkipRest(Rule from, const std::string& why) {
    for (std::size_t rule = from; rule < kRegister; ++rule) Skip(static_cast<Rule>(rule), why);
  }

  void Account() {
    std::string version;
    const int versionResult = helper_.GetVersion(version);
    if (versionResult != 0) {
      Fail(kVersion, Code(versionResult));
    } else if (version.empty()) {
      Fail(kVersion, "answered without \"ver\"");
    } else {
      Pass(kVersion, version);
    }
    if (versionResult == RESULT_TRANSPORT_FAILURE) {
      SkipRest(kSignInAccepted, "no account server answered");
      Optional();
      return;
    }

    VPErrorInfo error;
    const int wrong = helper_.SignIn({settings_.user, password_ + "-not-the-password"}, error);
    if (wrong == 0) {
      Fail(kSignInRefused, "a wrong password was accepted");
    } else if (wrong == RESULT_TRANSPORT_FAILURE || wrong == RESULT_CANCELLED) {
      Fail(kSignInRefused, "no usable reply: " + Code(wrong));
    } else if (wrong == RESULT_NOT_SUCCEEDED) {
      Fail(kSignInRefused, "refused with a \"result\" that reads as 0 (\"00\", \"+0\"...)");
    } else if (error.errdesc.empty()) {
      Fail(kSignInRefused, "refused with result " + std::to_string(wrong) + " but no \"errdesc\"");
    } else {
      Pass(kSignInRefused, "result " + std::to_string(wrong) + ": " + error.errdesc);
    }

    const int signIn = helper_.SignIn({settings_.user, password_}, error);
    if (signIn != 0) {
      Fail(kSignInAccepted, Code(signIn) + (error.errdesc.empty() ? "" : ": " + error.errdesc));
      SkipRest(kUserInfoKeys, "sign-in failed");
      Optional();
      return;
    }
    if (helper_.GetMagic().empty()) {
      Fail(kSignInAccepted, "accepted without a \"magic\" session token");
    } else {
      Pass(kSignInAccepted);
    }

    UserInfoRules();
    CatalogueRules();
    RatioRule();
    LeaseRules();
    UndecodableRule();
    SignOutRule();
    LimitsRule();
    Optional();
  }

  void UserInfoRules() {
    // The raw reply too, to see what the service pushed exactly.
    const RawReply raw = Post(settings_, protocol::kUserInfoScript, SessionFields(), 'Z');
    UserInfo info;
    const int result = helper_.GetUserInfo(info);
    // The pushed ServerConfig is ours to free, as for any application.
    if (result == 0) AdoptPushedServerConfig();
    if (result != 0) {
      for (Rule rule : {kUserInfoKeys, kUserInfoTiming, kUserInfoServers})
        Fail(rule, "user info: " + Code(result));
      return;
    }
    std::vector<std::string> missing;
    for (char letter : {'A', 'B', 'C'}) {
      if (KeyItem(letter).empty())
        missing.push_back(std::string("m") + static_cast<char>('1' + (letter - 'A')));
    }
    if (missing.empty()) {
      Pass(kUserInfoKeys);
    } else {
      std::string names;
      for (const std::string& name : missing) names += (names.empty() ? "" : ", ") + name;
      Fail(kUserInfoKeys, "missing or empty: " + names);
    }
    const int heartbeat = GlobalCache::Instance().GetConfigInt(protocol::kGcHeartbeatSlot, 0);
    const int ratioSlot = GlobalCache::Instance().GetConfigInt(protocol::kGcOnlineRatioSlot, 0);
    if (heartbeat > 0 && ratioSlot > 0) {
      Pass(kUserInfoTiming,
           "heartbeat " + std::to_string(heartbeat) + ", online ratio " + std::to_string(ratioSlot));
    } else {
      Fail(kUserInfoTiming, "heartbeat_slot " + std::to_string(heartbeat) + ", onlineratio_slot " +
                                std::to_string(ratioSlot) + " (want both above 0)");
    }

    std::string pushed;
    if (raw.decoded) {
      for (const ProfileSection& section : raw.profile.GetSections()) {
        if (section == protocol::kConfigSection) {
          pushed = section.GetItem(protocol::kLoginServer);
          break;
        }
      }
    }
    if (pushed.empty()) {
      Skip(kUserInfoServers, raw.decoded ? "no login_server pushed" : "the raw user info did not decode");
      return;
    }
    const int usable = UsableEntries(pushed);
    std::string version;
    const int answered = helper_.GetVersion(version);
    if (usable == 0) {
      Fail(kUserInfoServers, "no usable entry in \"" + pushed + "\"");
    } else if (answered != 0) {
      Fail(kUserInfoServers, "the pushed servers do not answer: " + Code(answered));
    } else {
      Pass(kUserInfoServers, std::to_string(usable) + " usable entries");
    }
  }

  void CatalogueRules() {
    const int result = helper_.GetVpnServers(catalogue_);
    if (result != 0) {
      Fail(kCatalogueDecodes, Code(result));
    } else if (catalogue_.empty()) {
      Fail(kCatalogueDecodes, "no servers");
    } else {
      Pass(kCatalogueDecodes, std::to_string(CatalogueSize(catalogue_)) + " servers in " +
                                  std::to_string(catalogue_.size()) + " groups");
    }
    // Raw: the client sends it keyed, under the next letter it would use.
    const RawReply raw = Post(settings_, protocol::kCatalogueScript, SessionFields(), 'A');
    if (!raw.answered || raw.status != 200) {
      const std::string seen = raw.answered ? "HTTP status " + std::to_string(raw.status) : "no answer";
      for (Rule rule : {kCatalogueKeyed, kCatalogueGroups, kCatalogueFields}) Fail(rule, seen);
      return;
    }
    if (raw.letter != 'A' && raw.letter != 'B' && raw.letter != 'C') {
      Fail(kCatalogueKeyed, std::string("reply letter '") + raw.letter + "', want A, B or C");
    } else if (!raw.decoded) {
      Fail(kCatalogueKeyed, std::string("does not decode under the pushed key of '") + raw.letter + "'");
    } else {
      Pass(kCatalogueKeyed, std::string("letter ") + raw.letter + (raw.compressed ? ", bzip2" : ""));
    }
    if (!raw.decoded) {
      Skip(kCatalogueGroups, "the catalogue did not decode");
      Skip(kCatalogueFields, "the catalogue did not decode");
      return;
    }
    entries_ = 0;
    std::string unnamed;
    std::string badField;
    std::size_t groups = 0;
    for (const ProfileSection& section : raw.profile.GetSections()) {
      entries_ += 1 + section.GetItems().size();
      if (section.GetSetionName().empty()) {
        for (const ProfileItem& item : section) {
          if (item.key != protocol::kResult && item.key != protocol::kErrorDesc && unnamed.empty())
            unnamed = item.key;
        }
        continue;
      }
      ++groups;
      for (const ProfileItem& item : section) {
        if (!badField.empty()) break;
        const ServerInfo server(item.key, item.value);
        const std::vector<std::string> fields = server.GetFields();
        if (!IsDecimal(item.key)) {
          badField = "id \"" + item.key + "\" is not a number";
        } else if (fields.size() != 4) {
          badField = item.key + ": " + std::to_string(fields.size()) + " fields, want 4";
        } else if (!IsDecimal(fields[2])) {
          badField = item.key + ": level \"" + fields[2] + "\" is not a number";
        }
      }
    }
    if (!unnamed.empty()) {
      Fail(kCatalogueGroups, "server \"" + unnamed + "\" outside any named section");
    } else if (groups == 0) {
      Fail(kCatalogueGroups, "no named section");
    } else {
      Pass(kCatalogueGroups, std::to_string(groups) + " groups");
    }
    if (!badField.empty()) {
      Fail(kCatalogueFields, badField);
    } else {
      Pass(kCatalogueFields);
    }
  }

  void RatioRule() {
    std::vector<ServerOnlineRatio> ratios;
    const int result = helper_.GetOnlineRatio(ratios);
    if (result != 0) {
      Fail(kRatio, Code(result));
      return;
    }
    for (const ServerOnlineRatio& ratio : ratios) {
      if (!IsDecimal(ratio.GetValue()) || ratio.GetRatio() > 100) {
        Fail(kRatio, "server " + ratio.GetKey() + ": ratio \"" + ratio.GetValue() + "\"");
        return;
      }
    }
    Pass(kRatio, std::to_string(ratios.size()) + " servers");
  }

  void LeaseRules() {
    int serverId = options_.serverId;
    if (serverId == 0) {
      for (const auto& group : catalogue_) {
        if (!group.second.empty()) {
          serverId = std::atoi(group.second.front().GetKey().c_str());
          break;
        }
      }
    }
    if (serverId == 0) {
      for (Rule rule : {kLease, kHandshakes, kRelease, kHandshakeAfterRelease}) {
        Skip(rule, "no VPN server id (give --server-id)");
      }
      return;
    }
    DialupInfo lease;
    VPErrorInfo error;
    const int leased = helper_.GetDailupInfo(serverId, lease, error);
    if (leased != 0 || lease.lendusername.empty() || lease.lendpassword.empty()) {
      Fail(kLease, leased != 0 ? Code(leased) + ": " + error.errdesc : "lent user name or password empty");
      for (Rule rule : {kHandshakes, kRelease, kHandshakeAfterRelease}) Skip(rule, "no lease");
      return;
    }
    Pass(kLease, "server " + std::to_string(serverId));
    const LiveInfo live{lease.lendusername, serverId};
    const int first = helper_.ShakeHands(live, error);
    const int second = first == 0 ? helper_.ShakeHands(live, error) : first;
    if (second != 0) {
      Fail(kHandshakes, Code(second) + ": " + error.errdesc);
    } else {
      Pass(kHandshakes);
    }
    const int released = helper_.ReleaseDialupInfo(0);
    if (released != 0) {
      Fail(kRelease, Code(released));
      Skip(kHandshakeAfterRelease, "the release failed");
      return;
    }
    Pass(kRelease);
    error = VPErrorInfo();
    const int after = helper_.ShakeHands(live, error);
    if (after == 0) {
      Fail(kHandshakeAfterRelease, "accepted");
    } else if (after == RESULT_TRANSPORT_FAILURE || after == RESULT_CANCELLED) {
      Fail(kHandshakeAfterRelease, "no usable reply: " + Code(after));
    } else {
      Pass(kHandshakeAfterRelease, "result " + std::to_string(after));
    }
  }

  void UndecodableRule() {
    // 48 random bytes in place of the ciphertext: no key decrypts them into
    // a form.
    std::mt19937 random(std::random_device{}());
    std::string noise(48, '\0');
    for (char& c : noise) c = static_cast<char>(random() & 0xFF);
    const std::string body = "B=" + QUILLON::URLEncode(Base64(noise));
    const RawReply reply = Post(settings_, protocol::kCatalogueScript, {}, 'B', &body);
    if (!reply.answered) {
      Fail(kUndecodableRefused, "no answer");
    } else if (reply.status != 200) {
      Pass(kUndecodableRefused, "HTTP status " + std::to_string(reply.status));
    } else if (!reply.decoded) {
      Pass(kUndecodableRefused, "answered with a reply the client cannot read");
    } else {
      const ProfileSection* envelope = Envelope(reply.profile);
      const std::string result = envelope != nullptr ? envelope->GetItem(protocol::kResult) : std::string();
      if (result == "0") {
        Fail(kUndecodableRefused, "answered with \"result=0\"");
      } else {
        Pass(kUndecodableRefused, "result " + (result.empty() ? std::string("absent") : result));
      }
    }
  }

  void SignOutRule() {
    const int result = helper_.SignOut();
    if (result != 0) {
      Fail(kSignOut, "sign-out: " + Code(result));
      return;
    }
    UserInfo info;
    const int after = helper_.GetUserInfo(info);
    if (after == 0) AdoptPushedServerConfig();
    if (after == 0) {
      Fail(kSignOut, "the user info is still answered after sign-out");
    } else if (after == RESULT_TRANSPORT_FAILURE || after == RESULT_CANCELLED) {
      Fail(kSignOut, "no usable reply after sign-out: " + Code(after));
    } else {
      Pass(kSignOut);
    }
  }

  void LimitsRule() {
    const int maxBody = GlobalCache::Instance().GetConfigInt(protocol::kGcHttpMaxBody, 32 * 1024 * 1024);
    const int maxEntries = GlobalCache::Instance().GetConfigInt(protocol::kGcMaxReplyItems, 2000000);
    if (overLimit_) {
      Fail(kLimits, "a reply body was over " + std::to_string(maxBody) + " bytes");
    } else if (entries_ > static_cast<std::size_t>(maxEntries)) {
      Fail(kLimits,
           "the catalogue has " + std::to_string(entries_) + " entries, over " + std::to_string(maxEntries));
    } else {
      Pass(kLimits, "largest body " + std::to_string(largestBody_) + " bytes");
    }
  }

  // Registration and recharge change the service: only when asked.
  void Optional() {
    if (options_.registerUser.empty()) {
      Skip(kRegister, "not asked (--register USER)");
    } else {
      VPErrorInfo error;
      const RegInfo info{options_.registerUser, password_, "", "", "", "proxyhelper check"};
      const int first = helper_.Register(info, error);
      const int second = first == 0 ? helper_.Register(info, error) : first;
      if (first != 0) {
        Fail(kRegister, Code(first) + ": " + error.errdesc);
      } else if (second == 0) {
        Fail(kRegister, "the same user name was registered twice");
      } else if (error.errdesc.empty()) {
        Fail(kRegister, "the second registration was refused without an \"errdesc\"");
      } else {
        Pass(kRegister, "second attempt refused: " + error.errdesc);
      }
    }
    if (options_.cardNo.empty()) {
      Skip(kRecharge, "not asked (--card NO --card-password PW)");
    } else {
      VPErrorInfo error;
      const int result =
          helper_.Recharge({settings_.user, password_, options_.cardNo, options_.cardPassword}, error);
      if (result != 0) {
        Fail(kRecharge, Code(result) + ": " + error.errdesc);
      } else {
        Pass(kRecharge);
      }
    }
  }

  std::map<std::string, std::string> SessionFields() const {
    CClientCfg* config = GlobalCache::Instance().GetClientCfg();
    return {{protocol::kAgent, config != nullptr ? config->GetAgent() : settings_.agent},
            {protocol::kLang, CMultiLanguage::Instance().GetCurrConfigLanguageTag()},
            {protocol::kUserName, helper_.GetUserNameA()},
            {protocol::kMagic, helper_.GetMagic()}};
  }

  const Settings& settings_;
  const std::string password_;
  const CheckOptions& options_;
  ProxyHelper& helper_;
  std::vector<RuleResult> results_;
  ServerCatalogue catalogue_;
  std::size_t entries_ = 0;
  std::size_t largestBody_ = 0;
  bool overLimit_ = false;
};

const char* VerdictWord(RuleVerdict verdict) {
  switch (verdict) {
    case RuleVerdict::kPass:
      return "pass";
    case RuleVerdict::kFail:
      return "FAIL";
    case RuleVerdict::kSkip:
      return "skip";
  }
  return "?";
}

}  // namespace

const std::vector<RuleInfo>& ConformanceRules() { return kRules; }

std::vector<RuleResult> RunConformanceCheck(const Settings& settings, const std::string& password,
                                            const CheckOptions& options) {
  return Checker(settings, password, options).Run();
}

int ReportConformance(const std::vector<RuleResult>& results, bool json, Console& console) {
  int failed = 0;
  int passed = 0;
  for (const RuleResult& result : results) {
    if (result.verdict == RuleVerdict::kFail) ++failed;
    if (result.verdict == RuleVerdict::kPass) ++passed;
  }
  const int status = failed == 0 ? kExitOk : kExitRefused;
  if (json) {
    nlohmann::json rules = nlohmann::json::array();
    for (const RuleResult& result : results) {
      rules.push_back(
          {{"id", result.id},
           {"description", result.description},
           {"section", result.section},
           {"verdict",
            VerdictWord(result.verdict) == std::string("FAIL") ? "fail" : VerdictWord(result.verdict)},
           {"detail", result.detail}});
    }
    nlohmann::json document = {{"command", "check"}, {"ok", failed == 0}, {"exit_status", status},
                               {"passed", passed},   {"failed", failed},  {"rules", rules}};
    console.out << DumpJson(document, 2) << "\n";
    return status;
  }
  std::vector<std::vector<std::string>> rows;
  for (const RuleResult& result : results) {
    // Details quote the service's own texts: shown escaped on a terminal.
    rows.push_back({VerdictWord(result.verdict), result.id, Printable(result.detail)});
  }
  console.out << FormatTable(rows, "");
  for (const RuleResult& result : results) {
    if (result.verdict == RuleVerdict::kFail) console.out << "\n" << result.id << ": see " << result.section;
  }
  if (failed > 0) console.out << "\n";
  console.out << "\n"
              << passed << " passed, " << failed << " failed, "
              << results.size() - static_cast<std::size_t>(passed + failed) << " skipped\n";
  return status;
}

}  // namespace proxycli
