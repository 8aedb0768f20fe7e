#include "tools/cli/ConformanceRules.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "tools/cli/ResultText.h"
#include "wire/Vocabulary.h"

namespace proxycli {

namespace {

using S = const Observations&;

Finding Pass(std::string detail = std::string()) { return {RuleVerdict::kPass, std::move(detail)}; }
Finding Skip(std::string why) { return {RuleVerdict::kSkip, std::move(why)}; }
Finding Fail(std::string detail) { return {RuleVerdict::kFail, std::move(detail)}; }
// What was seen, then why the attempts behind it failed.
template <typename Seen>
Finding Fail(std::string detail, const Seen& behind) {
  const std::size_t shown = std::min<std::size_t>(behind.causes.size(), 4);
  for (std::size_t i = 0; i < shown; ++i) detail += (i == 0 ? " (" : "; ") + behind.causes[i];
  if (behind.causes.size() > shown) detail += "; " + std::to_string(behind.causes.size() - shown) + " more";
  return Fail(shown > 0 ? detail + ")" : detail);
}

bool NoUsableReply(int result) { return result == RESULT_TRANSPORT_FAILURE || result == RESULT_CANCELLED; }

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The entries of a server list that the host library cannot use, as
// written and quoted: the first few and how many more, however long a list
// the service sends. Empty when every entry is usable.
std::string BrokenEntries(const std::string& list) {
  constexpr std::size_t kShown = 4;
  // Only the separators are read here; each entry is the host library's to judge.
  const char* separators = ";, \t\n\v\f\r";
  std::string shown;
  std::size_t broken = 0;
  for (std::size_t pos = list.find_first_not_of(separators); pos != std::string::npos;) {
    const std::size_t end = std::min(list.find_first_of(separators, pos), list.size());
    const std::string entry = list.substr(pos, end - pos);
    if (CLoginServers::Entries(entry).size() != 1 && ++broken <= kShown)
      shown += (shown.empty() ? "\"" : ", \"") + entry + "\"";
    pos = list.find_first_not_of(separators, end);
  }
  return broken > kShown ? shown + " and " + std::to_string(broken - kShown) + " more" : shown;
}

const ProfileSection* Section(const CProfileFile& profile, const char* name) {
  const auto& sections = profile.GetSections();
  const auto found =
      std::find_if(sections.begin(), sections.end(), [name](const auto& s) { return s == name; });
  return found == sections.end() ? nullptr : &*found;
}

// A library call that did not succeed: its code and the causes.
Finding Failed(const Call& call, const std::string& what = std::string()) {
  return Fail(what + ResultText(call.result), call);
}

struct RuleRow {
  RuleInfo info;
  Finding (*check)(S);
};

constexpr RuleRow kRows[] = {
    {{"version.answered", "getversion.php answers with a version", "getversionphp-getversion", ""},
     [](S s) {
       if (s.version.result != 0) return Failed(s.version);
       if (s.versionText.empty()) return Fail("answered without \"ver\"");
       const std::string broken = BrokenEntries(s.givenServers);
       if (!broken.empty()) return Fail("the server list given has entries the client cannot use: " + broken);
       return Pass(s.versionText);
     }},
    {{"signin.accepted", "the right password opens a session with a token (\"magic\")", "logininphp-signin",
      ""},
     [](S s) {
       if (s.signIn.result != 0) return Fail(ResultText(s.signIn.result, s.signIn.errdesc), s.signIn);
       return s.magic ? Pass() : Fail("accepted without a \"magic\" session token");
     }},
    {{"signin.refused", "a wrong password is refused: non-zero \"result\" and an \"errdesc\"",
      "9-envelope-result-and-errdesc", ""},
     [](S s) {
       const Call& wrong = s.wrongSignIn;
       if (wrong.result == 0) return Fail("a wrong password was accepted");
       if (NoUsableReply(wrong.result)) return Failed(wrong, "no usable reply: ");
       if (wrong.result == RESULT_NOT_SUCCEEDED)
         return Fail("refused with a \"result\" that reads as 0 (\"00\", \"+0\"...)");
       if (wrong.errdesc.empty())
         return Fail("refused with result " + std::to_string(wrong.result) + " but no \"errdesc\"");
       return Pass("result " + std::to_string(wrong.result) + ": " + wrong.errdesc);
     }},
    {{"userinfo.keys", "the user info pushes the three cipher keys m1, m2, m3", "6-key-letters-and-keys",
      "signin.accepted"},
     [](S s) {
       if (s.userInfo.result != 0) return Failed(s.userInfo, "user info: ");
       std::string missing;
       for (int i = 0; i < 3; ++i) missing += s.keys[i] ? "" : " m" + std::to_string(i + 1);
       return missing.empty() ? Pass() : Fail("missing or empty:" + missing);
     }},
    {{"userinfo.timing", "the user info pushes heartbeat_slot and onlineratio_slot",
      "getuserinfophp-getuserinfo", "signin.accepted"},
     [](S s) {
       if (s.userInfo.result != 0) return Failed(s.userInfo, "user info: ");
       const std::string seen =
           "heartbeat " + std::to_string(s.heartbeatSlot) + ", online ratio " + std::to_string(s.ratioSlot);
       return s.heartbeatSlot > 0 && s.ratioSlot > 0 ? Pass(seen) : Fail(seen + " (want both above 0)");
     }},
    {{"userinfo.servers", "a pushed login_server list is usable and answers", "getuserinfophp-getuserinfo",
      "signin.accepted"},
     [](S s) {
       if (s.userInfo.result != 0) return Failed(s.userInfo, "user info: ");
       if (!s.rawUserInfo.decoded) return Skip("the raw user info did not decode");
       const ProfileSection* config = Section(s.rawUserInfo.profile, protocol::kConfigSection);
       const std::string pushed = config != nullptr ? config->GetItem(protocol::kLoginServer) : "";
       if (pushed.empty()) return Skip("no login_server pushed");
       const std::string broken = BrokenEntries(pushed);
       if (!broken.empty()) return Fail("pushed entries the client cannot use: " + broken);
       if (s.viaPushed.result != 0) return Failed(s.viaPushed, "the pushed servers do not answer: ");
       return Pass(std::to_string(CLoginServers::Entries(pushed).size()) + " usable entries");
     }},
    {{"catalogue.decodes", "the catalogue decodes under the pushed keys and lists servers", "7-reply-framing",
      "userinfo.keys"},
     [](S s) {
       if (s.catalogue.result != 0) return Failed(s.catalogue);
       if (s.catalogueServers == 0) return Fail("no servers");
       return Pass(std::to_string(s.catalogueServers) + " servers in " + std::to_string(s.catalogueGroups) +
                   " groups");
     }},
    {{"catalogue.keyed", "the catalogue reply is keyed (A, B or C), optionally bzip2-compressed",
      "getserverinfophp-getvpnservers-keyed", "userinfo.keys"},
     [](S s) {
       const RawCall& raw = s.rawCatalogue;
       if (!raw.whole)
         return Fail(raw.status > 200 ? "HTTP status " + std::to_string(raw.status) : "no answer", raw);
       if (raw.letter != 'A' && raw.letter != 'B' && raw.letter != 'C')
         return Fail(std::string("reply letter '") + raw.letter + "', want A, B or C");
       if (raw.lines > static_cast<std::size_t>(s.maxEntries))
         return Fail(std::to_string(raw.lines) + " lines, over the entry bound " +
                     std::to_string(s.maxEntries));
       if (!raw.decoded)
         return Fail(std::string("does not decode under the pushed key of '") + raw.letter + "'");
       return Pass(std::string("letter ") + raw.letter + (raw.compressed ? ", bzip2" : ""));
     }},
    {{"catalogue.groups", "every catalogue group is a named section", "getserverinfophp-getvpnservers-keyed",
      "catalogue.keyed"},
     [](S s) {
       std::size_t groups = 0;
       for (const ProfileSection& section : s.rawCatalogue.profile.GetSections()) {
         groups += section.GetSetionName().empty() ? 0 : 1;
         for (const ProfileItem& item : section) {
           if (section.GetSetionName().empty() && item.key != protocol::kResult &&
               item.key != protocol::kErrorDesc)
             return Fail("server \"" + item.key + "\" outside any named section");
         }
       }
       return groups == 0 ? Fail("no named section") : Pass(std::to_string(groups) + " groups");
     }},
    {{"catalogue.fields", "every entry is id=name,address,level,location with numeric id and level",
      "getserverinfophp-getvpnservers-keyed", "catalogue.keyed"},
     [](S s) {
       for (const ProfileSection& section : s.rawCatalogue.profile.GetSections()) {
         if (section.GetSetionName().empty()) continue;
         for (const ProfileItem& item : section) {
           const std::vector<std::string> fields = ServerInfo(item.key, item.value).GetFields();
           if (!IsDecimal(item.key)) return Fail("id \"" + item.key + "\" is not a number");
           if (fields.size() != 4)
             return Fail(item.key + ": " + std::to_string(fields.size()) + " fields, want 4");
           if (!IsDecimal(fields[2])) return Fail(item.key + ": level \"" + fields[2] + "\" is not a number");
         }
       }
       return Pass();
     }},
    {{"ratio.parses", "the online ratio lists servers with integer percentages",
      "onlineratiophp-getonlineratio", "signin.accepted"},
     [](S s) {
       if (s.ratio.result != 0) return Failed(s.ratio);
       for (const ServerOnlineRatio& ratio : s.ratios) {
         if (!IsDecimal(ratio.GetValue()) || ratio.GetRatio() > 100)
           return Fail("server " + ratio.GetKey() + ": ratio \"" + ratio.GetValue() + "\"");
       }
       return Pass(std::to_string(s.ratios.size()) + " servers");
     }},
    {{"lease.granted", "a lease carries a lent user name and password",
      "getdailupinfophp-getdailupinfo-keyed", "signin.accepted"},
     [](S s) {
       if (s.serverId == 0) return Skip("no VPN server id (give --server-id)");
       if (s.lease.result != 0) return Fail(ResultText(s.lease.result, s.lease.errdesc), s.lease);
       return s.lent ? Pass("server " + std::to_string(s.serverId))
                     : Fail("lent user name or password empty");
     }},
    {{"lease.handshakes", "two handshakes on the lease are accepted", "verificationphp-shakehands",
      "lease.granted"},
     [](S s) {
       return s.handshakes.result == 0
                  ? Pass()
                  : Fail(ResultText(s.handshakes.result, s.handshakes.errdesc), s.handshakes);
     }},
    {{"lease.released", "the lease is released", "releasedialupinfophp-releasedialupinfo", "lease.granted"},
     [](S s) { return s.release.result == 0 ? Pass() : Failed(s.release); }},
    {{"lease.gone", "a handshake after the release is refused", "verificationphp-shakehands",
      "lease.released"},
     [](S s) {
       if (s.afterRelease.result == 0) return Fail("accepted");
       if (NoUsableReply(s.afterRelease.result)) return Failed(s.afterRelease, "no usable reply: ");
       return Pass("result " + std::to_string(s.afterRelease.result));
     }},
    {{"signout.ends-session", "sign-out ends the session: the user info is then refused", "logoutphp-signout",
      "signin.accepted"},
     [](S s) {
       if (s.signOut.result != 0) return Failed(s.signOut, "sign-out: ");
       if (s.afterSignOut.result == 0) return Fail("the user info is still answered after sign-out");
       if (NoUsableReply(s.afterSignOut.result))
         return Failed(s.afterSignOut, "no usable reply after sign-out: ");
       return Pass();
     }},
    {{"keyed.undecodable-refused",
      "a keyed request the service cannot decode is refused, not answered with success", "5-request-body",
      ""},
     [](S s) {
       const RawCall& raw = s.undecodable;
       if (raw.status > 200) return Pass("HTTP status " + std::to_string(raw.status));
       if (!raw.whole) return Fail("no answer", raw);
       if (!raw.decoded) return Pass("answered with a reply the client cannot read");
       const std::string result = Section(raw.profile, "")->GetItem(protocol::kResult);
       return result == "0" ? Fail("answered with \"result=0\"") : Pass("result " + result);
     }},
    {{"replies.within-limits", "every reply is within the client's body and entry bounds", "3-http-reply",
      ""},
     [](S s) {
       if (!s.oversized.empty())
         return Fail("a reply body was over " + std::to_string(s.maxBody) + " bytes: " + s.oversized.front());
       for (const RawCall* raw : {&s.rawUserInfo, &s.rawCatalogue, &s.undecodable}) {
         if (raw->lines > static_cast<std::size_t>(s.maxEntries))
           return Fail("a reply of " + std::to_string(raw->lines) + " lines is over the entry bound " +
                       std::to_string(s.maxEntries));
       }
       return Pass("largest body " + std::to_string(s.largestBody) + " bytes");
     }},
    {{"register.accepted", "registration creates an account once and refuses it the second time",
      "registerphp-register-and-rechargephp-recharge", ""},
     [](S s) {
       if (!s.registerAsked) return Skip("not asked (--register USER)");
       if (s.registered.result != 0)
         return Fail(ResultText(s.registered.result, s.registered.errdesc), s.registered);
       if (s.registeredAgain.result == 0) return Fail("the same user name was registered twice");
       if (s.registeredAgain.errdesc.empty())
         return Fail("the second registration was refused without an \"errdesc\"", s.registeredAgain);
       return Pass("second attempt refused: " + s.registeredAgain.errdesc);
     }},
    {{"recharge.accepted", "a prepaid card is credited", "registerphp-register-and-rechargephp-recharge", ""},
     [](S s) {
       if (!s.rechargeAsked) return Skip("not asked (--card NO --card-password PW)");
       return s.recharge.result == 0 ? Pass()
                                     : Fail(ResultText(s.recharge.result, s.recharge.errdesc), s.recharge);
     }},
};

constexpr bool Same(const char* a, const char* b) { return *a == *b && (*a == '\0' || Same(a + 1, b + 1)); }

// Ids are unique and every rule needs one listed before it, so one pass in
// order settles every dependency.
constexpr bool RowsAreOrdered() {
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    bool found = Same(kRows[i].info.needs, "");
    for (std::size_t j = 0; j < i; ++j) {
      if (Same(kRows[j].info.id, kRows[i].info.id)) return false;
      found = found || Same(kRows[j].info.id, kRows[i].info.needs);
    }
    if (!found) return false;
  }
  return true;
}
static_assert(RowsAreOrdered(), "unique ids; each rule needs an earlier one");

}  // namespace

const std::vector<RuleInfo>& ConformanceRules() {
  static const std::vector<RuleInfo> rules = [] {
    std::vector<RuleInfo> infos;
    for (const RuleRow& row : kRows) infos.push_back(row.info);
    return infos;
  }();
  return rules;
}

std::vector<RuleResult> EvaluateRules(const Observations& seen) {
  const bool reached = seen.version.result != RESULT_TRANSPORT_FAILURE;
  std::vector<RuleResult> results;
  for (const RuleRow& row : kRows) {
    const auto needed = std::find_if(results.begin(), results.end(),
                                     [&row](const RuleResult& done) { return done.id == row.info.needs; });
    Finding finding;
    // The first rule is the one that finds out whether any server answers.
    if (!reached && &row != &kRows[0]) {
      finding = Skip("no account server answered");
    } else if (needed != results.end() && needed->verdict != RuleVerdict::kPass) {
      finding = Skip("needs " + needed->id +
                     (needed->verdict == RuleVerdict::kFail ? ", which failed" : ", which was skipped"));
    } else {
      finding = row.check(seen);
    }
    results.push_back({row.info.id, row.info.description,
                       std::string("docs/wire-protocol.md#") + row.info.anchor, finding.verdict,
                       std::move(finding.detail)});
  }
  return results;
}

}  // namespace proxycli
