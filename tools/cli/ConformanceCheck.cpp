#include "tools/cli/ConformanceCheck.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "tools/cli/ConformanceRules.h"
#include "tools/cli/LastAttempt.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/Views.h"
#include "wire/Cipher.h"
#include "wire/Form.h"
#include "wire/Reply.h"
#include "wire/Request.h"
#include "wire/Vocabulary.h"

namespace proxycli {

namespace {

std::string KeyItem(char letter) {
  std::string value;
  GlobalCache::Instance().GetConfigItem(std::string(protocol::kGcCipherPrefix) + letter, value);
  return value;
}

// The marker sits in the payload's first cipher block: only that is decoded again.
bool Compressed(std::string_view reply) {
  std::string head = Base64Decode(reply.data() + 2, std::min<std::size_t>(reply.size() - 2, 24));
  if (reply[0] != protocol::kUnkeyedLetter[0]) {
    const std::string item = KeyItem(reply[0]);
    if (item.empty() || head.size() < 16) return false;
    head = TwofishDecrypt(DeriveKey(item), head.substr(0, 16));
  }
  return head.compare(0, 4, protocol::kCompressedMarker) == 0;
}

// As the client reads a reply: up to its first zero byte, through the shared
// codec, parsed within the entry bound.
void Decode(const std::string& body, int maxEntries, RawCall& raw) {
  const std::string_view reply = std::string_view(body).substr(0, body.find('\0'));
  if (reply.size() <= 2) return;
  raw.letter = reply[0];
  raw.compressed = Compressed(reply);
  const std::string text = wire::DecodeReply(reply.data(), reply.size(), KeyItem, nullptr);
  if (!raw.profile.Load(text, static_cast<std::size_t>(maxEntries))) {
    raw.lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    return;
  }
  // Bytes decrypted under the wrong key may parse as one odd item: only a
  // reply whose envelope carries "result" counts.
  const CProfileFile::SectionList& sections = raw.profile.GetSections();
  raw.decoded = !sections.empty() && sections.front().GetSetionName().empty() &&
                sections.front().IsItemExist(protocol::kResult);
}

// Runs the client story once and keeps what every step showed.
class Story {
 public:
  Story(const Settings& settings, const std::string& password, const CheckOptions& options)
      : settings_(settings), password_(password), options_(options), helper_(ProxyHelper::Instance()) {}

  Observations Run() {
    // A subscription of its own, so the handler that -v installed keeps
    // reporting; the trace is process-wide, the story runs on this thread.
    const ProxyHelperControl::TraceToken token = ProxyHelperControl::AddAttemptTrace(
        [this, self = std::this_thread::get_id()](const AttemptTrace& attempt) {
          if (std::this_thread::get_id() == self) attempts_.push_back(attempt);
        });
    struct Unsubscribe {
      ProxyHelperControl::TraceToken token;
      ~Unsubscribe() { ProxyHelperControl::RemoveAttemptTrace(token); }
    } unsubscribe{token};
    const GlobalCache& cache = GlobalCache::Instance();
    s_.maxBody = cache.GetConfigInt(protocol::kGcHttpMaxBody, proxyhelper::config::kDefaultHttpMaxBody);
    s_.maxEntries =
        cache.GetConfigInt(protocol::kGcMaxReplyItems, proxyhelper::config::kDefaultMaxReplyItems);
    s_.givenServers = settings_.servers;
    s_.version = Observe([this](VPErrorInfo&) { return helper_.GetVersion(s_.versionText); });
    if (s_.version.result != RESULT_TRANSPORT_FAILURE) Account();
    for (const AttemptTrace& attempt : attempts_) {
      s_.largestBody = std::max(s_.largestBody, attempt.bodyBytes);
      if (attempt.outcome == AttemptOutcome::kBodyTooBig) s_.oversized.push_back(DescribeAttempt(attempt));
    }
    return std::move(s_);
  }

 private:
  void Account() {
    s_.wrongSignIn = Observe([this](VPErrorInfo& error) {
      return helper_.SignIn({settings_.user, password_ + "-not-the-password"}, error);
    });
    s_.signIn = Observe([this](VPErrorInfo& error) {
      return helper_.SignIn({settings_.user, password_}, error);
    });
    s_.magic = !helper_.GetMagic().empty();
    if (s_.signIn.result == 0) {
      UserInfoSteps();
      CatalogueSteps();
      s_.ratio = Observe([this](VPErrorInfo&) { return helper_.GetOnlineRatio(s_.ratios); });
      LeaseSteps();
    }
    // 48 random bytes in place of the ciphertext: no key decrypts them into a form.
    std::mt19937 random(std::random_device{}());
    std::string noise(48, '\0');
    for (char& c : noise) c = static_cast<char>(random() & 0xFF);
    s_.undecodable = Raw(protocol::kCatalogueScript, "B=" + QUILLON::URLEncode(Base64Encode(noise)));
    if (s_.signIn.result == 0) {
      s_.signOut = Observe([this](VPErrorInfo&) { return helper_.SignOut(); });
      if (s_.signOut.result == 0) s_.afterSignOut = UserInfoCall();
    }
    OptionalSteps();
  }

  void UserInfoSteps() {
    // The raw reply too, to see the server list exactly as pushed.
    s_.rawUserInfo = Raw(protocol::kUserInfoScript, wire::EncodeRequest(SessionForm(), 'Z', std::string()));
    s_.userInfo = UserInfoCall();
    if (s_.userInfo.result != 0) return;
    for (int i = 0; i < 3; ++i) s_.keys[i] = !KeyItem(static_cast<char>('A' + i)).empty();
    s_.heartbeatSlot = GlobalCache::Instance().GetConfigInt(protocol::kGcHeartbeatSlot, 0);
    s_.ratioSlot = GlobalCache::Instance().GetConfigInt(protocol::kGcOnlineRatioSlot, 0);
    std::string version;
    s_.viaPushed = Observe([&](VPErrorInfo&) { return helper_.GetVersion(version); });
  }

  void CatalogueSteps() {
    ServerCatalogue catalogue;
    s_.catalogue = Observe([&](VPErrorInfo&) { return helper_.GetVpnServers(catalogue); });
    s_.catalogueServers = CatalogueSize(catalogue);
    s_.catalogueGroups = catalogue.size();
    // Keyed as the client sends it.
    s_.rawCatalogue = Raw(protocol::kCatalogueScript, wire::EncodeRequest(SessionForm(), 'A', KeyItem('A')));
    s_.serverId = options_.serverId;
    for (auto group = catalogue.begin(); s_.serverId == 0 && group != catalogue.end(); ++group) {
      if (!group->second.empty()) s_.serverId = std::atoi(group->second.front().GetKey().c_str());
    }
  }

  void LeaseSteps() {
    if (s_.serverId == 0) return;
    DialupInfo lease;
    s_.lease = Observe([&](VPErrorInfo& error) { return helper_.GetDailupInfo(s_.serverId, lease, error); });
    s_.lent = !lease.lendusername.empty() && !lease.lendpassword.empty();
    if (s_.lease.result != 0 || !s_.lent) return;
    const LiveInfo live{lease.lendusername, s_.serverId};
    s_.handshakes = Observe([&](VPErrorInfo& error) {
      const int first = helper_.ShakeHands(live, error);
      return first == 0 ? helper_.ShakeHands(live, error) : first;
    });
    s_.release = Observe([this](VPErrorInfo&) { return helper_.ReleaseDialupInfo(0); });
    if (s_.release.result == 0)
      s_.afterRelease = Observe([&](VPErrorInfo& error) { return helper_.ShakeHands(live, error); });
  }

  // Registration and recharge change the service: only when asked.
  void OptionalSteps() {
    s_.registerAsked = !options_.registerUser.empty();
    if (s_.registerAsked) {
      const RegInfo info{options_.registerUser, password_, "", "", "", "proxyhelper check"};
      s_.registered = Observe([&](VPErrorInfo& error) { return helper_.Register(info, error); });
      if (s_.registered.result == 0)
        s_.registeredAgain = Observe([&](VPErrorInfo& error) { return helper_.Register(info, error); });
    }
    s_.rechargeAsked = !options_.cardNo.empty();
    if (s_.rechargeAsked) {
      const RecInfo card{settings_.user, password_, options_.cardNo, options_.cardPassword};
      s_.recharge = Observe([&](VPErrorInfo& error) { return helper_.Recharge(card, error); });
    }
  }

  Call UserInfoCall() {
    UserInfo info;
    Call call = Observe([&](VPErrorInfo&) { return helper_.GetUserInfo(info); });
    // The pushed ServerConfig is ours to free, as for any application.
    if (call.result == 0) AdoptPushedServerConfig();
    return call;
  }

  Call Observe(const std::function<int(VPErrorInfo&)>& operation) {
    const std::size_t mark = attempts_.size();
    VPErrorInfo error;
    Call call;
    call.result = operation(error);
    call.errdesc = error.errdesc;
    call.causes = CausesSince(mark);
    return call;
  }

  RawCall Raw(const char* script, const std::string& body) {
    const std::size_t mark = attempts_.size();
    const RawExchangeReply reply = ProxyHelperControl::RawExchange(std::string(), script, body);
    RawCall raw;
    raw.status = reply.httpStatus;
    raw.whole = reply.httpStatus == 200 && (reply.outcome == AttemptOutcome::kParsed ||
                                            reply.outcome == AttemptOutcome::kRefusedByService ||
                                            reply.outcome == AttemptOutcome::kUnparsable);
    raw.causes = CausesSince(mark);
    if (raw.whole) Decode(reply.body, s_.maxEntries, raw);
    return raw;
  }

  std::vector<std::string> CausesSince(std::size_t mark) const {
    std::vector<std::string> causes;
    for (std::size_t i = mark; i < attempts_.size(); ++i) {
      if (attempts_[i].outcome != AttemptOutcome::kParsed) causes.push_back(DescribeAttempt(attempts_[i]));
    }
    return causes;
  }

  std::string SessionForm() const {
    CClientCfg* config = GlobalCache::Instance().GetClientCfg();
    return wire::BuildFormText({{protocol::kAgent, config != nullptr ? config->GetAgent() : settings_.agent},
                                {protocol::kLang, CMultiLanguage::Instance().GetCurrConfigLanguageTag()},
                                {protocol::kUserName, helper_.GetUserNameA()},
                                {protocol::kMagic, helper_.GetMagic()}});
  }

  const Settings& settings_;
  const std::string password_;
  const CheckOptions& options_;
  ProxyHelper& helper_;
  Observations s_;
  std::vector<AttemptTrace> attempts_;
};

// In RuleVerdict order.
const char* const kVerdictWords[] = {"pass", "FAIL", "skip"};
const char* const kJsonVerdictWords[] = {"pass", "fail", "skip"};

}  // namespace

std::vector<RuleResult> RunConformanceCheck(const Settings& settings, const std::string& password,
                                            const CheckOptions& options) {
  return EvaluateRules(Story(settings, password, options).Run());
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
      rules.push_back({{"id", result.id},
                       {"description", result.description},
                       {"section", result.section},
                       {"verdict", kJsonVerdictWords[static_cast<int>(result.verdict)]},
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
    rows.push_back({kVerdictWords[static_cast<int>(result.verdict)], result.id, Printable(result.detail)});
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
