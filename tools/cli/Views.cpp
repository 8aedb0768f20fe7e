#include "tools/cli/Views.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"
#include "tools/cli/CatalogueOutput.h"
#include "tools/cli/KeyStore.h"
#include "tools/cli/Printable.h"

// The record's members under their own names (to_json beside the record, where lookup finds it).
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(UserInfo, username, vpnpd, timeleft, userlevel_desc, userlevel, usermode,
                                   simuses, moneyleft, timetip)

namespace proxycli {

namespace {

int ConfigInt(const char* name) {
  int value = 0;
  GlobalCache::Instance().GetConfigItem(name, value);
  return value;
}

nlohmann::json NumberOrNull(const std::string& text) {
  long long value = 0;
  return ParseDecimal(text, &value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::json UserInfoJson(const UserInfo& info) { return info; }

std::string UserInfoText(const UserInfo& info) {
  return FormatTable({{"user", Printable(info.username)},
                      {"level", std::to_string(info.userlevel) + " (" + Printable(info.userlevel_desc) + ")"},
                      {"balance", std::to_string(info.moneyleft)},
                      {"time left", Printable(info.timeleft)},
                      {"vpnpd", Printable(info.vpnpd)},
                      {"mode", std::to_string(info.usermode)},
                      {"simultaneous uses", std::to_string(info.simuses)},
                      {"time tip", std::to_string(info.timetip)}},
                     "  ");
}

nlohmann::json PushedConfigJson(const ServerConfig* serverConfig) {
  nlohmann::json servers = nlohmann::json::array();
  for (const CLoginServers::Server& server : CLoginServers::Instance().GetServers()) {
    servers.push_back({{"host", server.host}, {"port", server.port}, {"secure", server.secure}});
  }
  nlohmann::json config = {{"heartbeat_slot", ConfigInt(proxyhelper::config::kHeartbeatSlot)},
                           {"onlineratio_slot", ConfigInt(proxyhelper::config::kOnlineRatioSlot)},
                           {"login_servers", servers},
                           {"default_login_server", CLoginServers::Instance().GetDefaultServer()},
                           {"cipher_keys", !KeyItemsFromCache().empty()},
                           {"server_config", nullptr}};
  if (serverConfig != nullptr) {
    nlohmann::json levels = nlohmann::json::object();
    for (const auto& level : serverConfig->serverlevel) levels[std::to_string(level.first)] = level.second;
    config["server_config"] = {{"serverlevel", levels},
                               {"tip", serverConfig->tip},
                               {"message", serverConfig->message},
                               {"url", serverConfig->url}};
  }
  return config;
}

std::string PushedConfigText(const ServerConfig* serverConfig) {
  std::string servers;
  for (const CLoginServers::Server& server : CLoginServers::Instance().GetServers()) {
    servers += (servers.empty() ? "" : " ") + std::string(server.secure ? "https://" : "") +
               HostPort(server.host, server.port);
  }
  std::vector<std::vector<std::string>> rows = {
      {"heartbeat slot", std::to_string(ConfigInt(proxyhelper::config::kHeartbeatSlot)) + " s"},
      {"online-ratio slot", std::to_string(ConfigInt(proxyhelper::config::kOnlineRatioSlot)) + " s"},
      {"account servers", Printable(servers)},
      {"default server", Printable(CLoginServers::Instance().GetDefaultServer())},
      {"cipher keys", !KeyItemsFromCache().empty() ? "received" : "none"}};
  if (serverConfig != nullptr) {
    for (const auto& level : serverConfig->serverlevel) {
      rows.push_back({"level " + std::to_string(level.first), Printable(level.second)});
    }
    rows.push_back({"warning", std::to_string(serverConfig->tip) + " " + Printable(serverConfig->message)});
    rows.push_back({"warning url", Printable(serverConfig->url)});
  }
  return FormatTable(rows, "  ");
}

std::size_t CatalogueSize(const ServerCatalogue& catalogue) {
  std::size_t size = 0;
  for (const auto& group : catalogue) size += group.second.size();
  return size;
}

nlohmann::json RatiosJson(const std::vector<ServerOnlineRatio>& ratios) {
  nlohmann::json list = nlohmann::json::array();
  for (const ServerOnlineRatio& ratio : ratios) {
    list.push_back({{"id", NumberOrNull(ratio.GetKey())}, {"ratio", ratio.GetRatio()}});
  }
  return list;
}

std::string RatiosText(const std::vector<ServerOnlineRatio>& ratios) {
  std::vector<std::vector<std::string>> rows = {{"SERVER", "ONLINE"}};
  for (const ServerOnlineRatio& ratio : ratios) {
    rows.push_back({Printable(ratio.GetKey()), std::to_string(ratio.GetRatio()) + "%"});
  }
  return FormatTable(rows, "  ");
}

std::string HostPort(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseDecimal(std::string_view text, long long* value) {
  if (text.empty()) return false;
  long long parsed = 0;
  const std::from_chars_result end = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (end.ec != std::errc() || end.ptr != text.data() + text.size()) return false;
  *value = parsed;
  return true;
}

std::string FormatTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line = indent;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

}  // namespace proxycli
