// The readers that turn a parsed reply into the caller's records (server
// catalogue, online ratios) and into the account state and configuration
// the service pushes with the user info, on arbitrary profile text.
//
// The library never frees a ServerConfig it has stored under
// "GCP_CUR_SERVERCONFIG": the application may still hold an earlier one.
// Here nothing else holds it, so when a changed configuration replaces the
// stored record the target frees the old one itself, and LeakSanitizer stays
// on for every other allocation.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCatalogue.h"
#include "FuzzCheck.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "service/ReplyReaders.h"
#include "transport/HttpCmd.h"

namespace {

using SectionList = CProfileFile::SectionList;
using ServerList = std::vector<CLoginServers::Server>;

// Far above what an input of the fuzzer's length can hold; only the bound
// itself is exercised, not a refusal.
constexpr std::size_t kMaxEntries = 100000;
const char kUsername[] = "fuzz-user";
const char kServerConfigItem[] = "GCP_CUR_SERVERCONFIG";
// One TLS entry, so that a pushed list can be seen not to downgrade it.
const char kKnownServers[] = "127.0.0.1:8080;https://accounts.example.net;[::1]:8443";
constexpr int kKnownServerCount = 3;
const char kSecureHost[] = "accounts.example.net";
constexpr int kSecurePort = 443;
// What the pushed items hold before each input, so that a reply without a
// "config" section can be seen to leave them alone.
const char kUnpushed[] = "unpushed";
const char* const kPushedItems[] = {"GC_HEARTBEAT_SLOT", "GC_ONLINERATIO_SLOT", "GC_CIPER_A", "GC_CIPER_B",
                                    "GC_CIPER_C"};

std::string ConfigItem(const char* name) {
  std::string value = "absent";
  GlobalCache::Instance().GetConfigItem(name, value);
  return value;
}

// Reads `text` the way every integer item of a reply is read.
int AsInteger(const std::string& text) {
  ProfileSection probe;
  probe.AddItem("n", text);
  return probe.GetItemInt("n");
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool SameAddresses(const ServerList& a, const ServerList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].host != b[i].host || a[i].port != b[i].port) return false;
  }
  return true;
}

bool SameServers(const ServerList& a, const ServerList& b) {
  if (!SameAddresses(a, b)) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].secure != b[i].secure) return false;
  }
  return true;
}

bool SameUserInfo(const UserInfo& a, const UserInfo& b) {
  return a.username == b.username && a.vpnpd == b.vpnpd && a.timeleft == b.timeleft &&
         a.userlevel_desc == b.userlevel_desc && a.userlevel == b.userlevel && a.usermode == b.usermode &&
         a.simuses == b.simuses && a.moneyleft == b.moneyleft && a.timetip == b.timetip;
}

void CheckCatalogue(const SectionList& sections) {
  // "Europe" is a group the seeds use as well, so a reply appending to a
  // group the caller already has is reached.
  ServerCatalogue servers;
  servers["Europe"].emplace_back("1", "Earlier,earlier.example.net,1,Nowhere");
  servers["zz-earlier"].emplace_back("2", "Kept,kept.example.net,2,Nowhere");
  const ServerCatalogue before = servers;
  FillCatalogue(sections, servers);
  fuzzing::CheckAppendedCatalogue(before, sections, servers);

  // The sections handed over by move, as the operations do, into an empty map.
  SectionList moved = sections;
  ServerCatalogue fresh;
  FillCatalogue(std::move(moved), fresh);
  fuzzing::CheckAppendedCatalogue(ServerCatalogue(), sections, fresh);
}

void CheckOnlineRatios(const SectionList& sections) {
  std::vector<ServerOnlineRatio> ratios;
  ratios.emplace_back("0", "100");
  FillOnlineRatios(sections, ratios);
  FUZZ_CHECK(ratios.size() == 1 + fuzzing::NamedItemCount(sections));
  FUZZ_CHECK(ratios[0].GetKey() == "0" && ratios[0].GetValue() == "100");
  std::size_t next = 1;
  for (const ProfileSection& section : sections) {
    if (section.GetSetionName().empty()) continue;
    for (const ProfileItem& item : section) {
      FUZZ_CHECK(ratios[next].GetKey() == item.key);
      FUZZ_CHECK(ratios[next].GetValue() == item.value);
      FUZZ_CHECK(ratios[next].GetRatio() == AsInteger(item.value));
      ++next;
    }
  }
}

void CheckServerConfig(const SectionList& sections, const ServerConfig& config) {
  // A level key is read as any integer item; a later item of a level wins.
  std::map<int, std::string> levels;
  const auto levelSection = FindSection(sections, "serverlevel");
  if (levelSection != sections.end()) {
    for (const ProfileItem& item : *levelSection) levels[AsInteger(item.key)] = item.value;
  }
  FUZZ_CHECK(config.serverlevel == levels);

  const auto warning = FindSection(sections, "warning");
  if (warning == sections.end()) {
    FUZZ_CHECK(config.tip == 0 && config.message.empty() && config.url.empty());
  } else {
    FUZZ_CHECK(config.tip == warning->GetItemInt("tip"));
    FUZZ_CHECK(config.message == warning->GetItem("message"));
    FUZZ_CHECK(config.url == warning->GetItem("url"));
  }
}

void CheckUserFields(const SectionList& sections, const UserInfo& earlier, const UserInfo& info) {
  const auto user = FindSection(sections, "userinfo");
  if (user == sections.end()) {
    FUZZ_CHECK(SameUserInfo(info, earlier));
    return;
  }
  FUZZ_CHECK(info.username == kUsername);
  FUZZ_CHECK(info.vpnpd == user->GetItem("vpnpd"));
  FUZZ_CHECK(info.timeleft == user->GetItem("timeleft"));
  FUZZ_CHECK(info.userlevel_desc == user->GetItem("userlevel_desc"));
  FUZZ_CHECK(info.userlevel == user->GetItemInt("userlevel"));
  FUZZ_CHECK(info.usermode == user->GetItemInt("usermode"));
  FUZZ_CHECK(info.simuses == user->GetItemInt("simuses"));
  FUZZ_CHECK(info.moneyleft == user->GetItemInt("moneyleft"));
  FUZZ_CHECK(info.timetip == user->GetItemInt("timetip"));
}

void CheckPushedConfiguration(const SectionList& sections, const ServerList& known) {
  const auto config = FindSection(sections, "config");
  if (config == sections.end()) {
    for (const char* name : kPushedItems) FUZZ_CHECK(ConfigItem(name) == kUnpushed);
  } else {
    FUZZ_CHECK(ConfigItem("GC_HEARTBEAT_SLOT") == std::to_string(config->GetItemInt("heartbeat_slot")));
    FUZZ_CHECK(ConfigItem("GC_ONLINERATIO_SLOT") == std::to_string(config->GetItemInt("onlineratio_slot")));
    FUZZ_CHECK(ConfigItem("GC_CIPER_A") == config->GetItem("m1"));
    FUZZ_CHECK(ConfigItem("GC_CIPER_B") == config->GetItem("m2"));
    FUZZ_CHECK(ConfigItem("GC_CIPER_C") == config->GetItem("m3"));
  }

  // A push can replace the account servers but never leave none, nor more
  // than one operation can afford to try.
  CLoginServers& list = CLoginServers::Instance();
  const ServerList servers = list.GetServers();
  FUZZ_CHECK(list.GetServerCount() == static_cast<int>(servers.size()));
  FUZZ_CHECK(!servers.empty());
  FUZZ_CHECK(servers.size() <= 64);
  const bool pushesList = config != sections.end() && !config->GetItem("login_server").empty();
  if (!pushesList) FUZZ_CHECK(SameAddresses(servers, known));
  if (config != sections.end() && !config->GetItem("default_login_server").empty()) {
    FUZZ_CHECK(list.GetDefaultServer() == config->GetItem("default_login_server"));
  }
  // The server the application configured for TLS stays on TLS.
  for (const CLoginServers::Server& server : servers) {
    if (Lower(server.host) == kSecureHost && server.port == kSecurePort) FUZZ_CHECK(server.secure);
  }
}

void CheckUserInfoReply(const SectionList& sections) {
  CLoginServers& list = CLoginServers::Instance();
  list.Clear();
  FUZZ_CHECK(list.Parse(kKnownServers, true) == kKnownServerCount);
  const ServerList known = list.GetServers();
  GlobalCache& cache = GlobalCache::Instance();
  for (const char* name : kPushedItems) cache.SetConfigItem(name, kUnpushed);

  UserInfo info;
  info.username = "earlier";
  info.vpnpd = "earlier";
  info.userlevel = -7;
  info.timetip = 99;
  const UserInfo earlier = info;
  void* const previous = cache.GetValue(kServerConfigItem);
  ApplyUserInfoReply(sections, kUsername, info);
  void* const stored = cache.GetValue(kServerConfigItem);
  FUZZ_CHECK(stored != nullptr);
  // Replaced: the library has let go of the old record (see the top).
  if (stored != previous) delete static_cast<ServerConfig*>(previous);

  CheckServerConfig(sections, *static_cast<const ServerConfig*>(stored));
  CheckUserFields(sections, earlier, info);
  CheckPushedConfiguration(sections, known);

  // A client polling an unchanged account keeps the stored record and the
  // server list as they are.
  const ServerList afterFirst = list.GetServers();
  UserInfo again = earlier;
  ApplyUserInfoReply(sections, kUsername, again);
  FUZZ_CHECK(cache.GetValue(kServerConfigItem) == stored);
  FUZZ_CHECK(SameServers(list.GetServers(), afterFirst));
  FUZZ_CHECK(SameUserInfo(again, info));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLoginServers& list = CLoginServers::Instance();
  list.Clear();
  FUZZ_CHECK(list.Parse(kKnownServers, true) == kKnownServerCount);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CProfileFile profile;
  if (!profile.Load(text, kMaxEntries)) return 0;
  const SectionList& sections = profile.GetSections();
  CheckCatalogue(sections);
  CheckOnlineRatios(sections);
  CheckUserInfoReply(sections);
  return 0;
}
