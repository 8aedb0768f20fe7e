// Readable text and JSON for the records the facade fills. Every text from
// the service goes through Printable in the readable forms.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
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

// What `servers` shows of the catalogue, and how, is in CatalogueOutput.h.
std::size_t CatalogueSize(const ServerCatalogue& catalogue);

// {"id": number or null, "ratio": percent}.
nlohmann::json RatiosJson(const std::vector<ServerOnlineRatio>& ratios);
std::string RatiosText(const std::vector<ServerOnlineRatio>& ratios);

// "host:port", an IPv6 host in brackets.
std::string HostPort(const std::string& host, int port);

// A decimal integer with nothing around it ("-" allowed, no "+", no
// spaces) that fits a long long.
bool ParseDecimal(std::string_view text, long long* value);

// Left-aligned columns, two spaces apart, each as wide as its widest cell.
std::string FormatTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent);

}  // namespace proxycli
