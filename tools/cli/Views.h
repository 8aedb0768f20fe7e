// Readable text and JSON for the records the facade fills.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"

namespace proxycli {

nlohmann::json UserInfoJson(const UserInfo& info);
std::string UserInfoText(const UserInfo& info);

// What GetUserInfo pushed to the host library: the two timing settings, the
// account-server list with its default, whether cipher keys arrived (their
// values stay private), and the ServerConfig record when there is one.
nlohmann::json PushedConfigJson(const ServerConfig* serverConfig);
std::string PushedConfigText(const ServerConfig* serverConfig);

// Catalogue entries are "name,address,level,location" under the server id.
nlohmann::json CatalogueJson(const ServerCatalogue& catalogue);
// One block per group, in the map's order, each a table of its servers.
std::string CatalogueText(const ServerCatalogue& catalogue);
std::size_t CatalogueSize(const ServerCatalogue& catalogue);

nlohmann::json RatiosJson(const std::vector<ServerOnlineRatio>& ratios);
std::string RatiosText(const std::vector<ServerOnlineRatio>& ratios);

// Left-aligned columns, two spaces apart, each as wide as its widest cell.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent);

}  // namespace proxycli
