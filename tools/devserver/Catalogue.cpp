#include "tools/devserver/Catalogue.h"

#include <cstdint>

#include "tools/devserver/DecimalField.h"

namespace devserver {

namespace {

struct GroupTemplate {
  const char* name;
  const char* slug;
  std::vector<const char*> cities;
};

const std::vector<GroupTemplate>& Templates() {
  static const std::vector<GroupTemplate> templates = {
      {"Asia", "as", {"Tokyo", "Singapore", "Seoul", "Hong Kong", "Mumbai"}},
      {"Europe", "eu", {"Frankfurt", "Amsterdam", "London", "Paris", "Stockholm"}},
      {"North America", "na", {"New York", "Toronto", "Dallas", "Seattle", "Miami"}},
      {"Oceania", "oc", {"Sydney", "Auckland", "Melbourne", "Perth"}},
  };
  return templates;
}

std::string TrimBlanks(const std::string& text) {
  const std::string::size_type begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

}  // namespace

std::string FormatServerEntry(const VpnServer& server) {
  return server.name + "," + server.address + "," + std::to_string(server.level) + "," + server.location;
}

bool ParseServerEntry(const std::string& value, VpnServer* server) {
  std::vector<std::string> fields;
  std::string::size_type begin = 0;
  while (true) {
    const std::string::size_type comma = value.find(',', begin);
    fields.push_back(
        TrimBlanks(value.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin)));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  if (fields.size() != 4 || fields[0].empty() || fields[1].empty()) return false;
  int level = 0;
  if (!ParseDecimalInt(fields[2], &level)) return false;
  server->name = fields[0];
  server->address = fields[1];
  server->level = level;
  server->location = fields[3];
  return true;
}

std::vector<ServerGroup> GenerateCatalogue(int count) {
  const std::vector<GroupTemplate>& templates = Templates();
  std::vector<ServerGroup> groups(templates.size());
  for (std::size_t g = 0; g < templates.size(); ++g) groups[g].name = templates[g].name;
  for (int i = 0; i < count; ++i) {
    const std::size_t g = static_cast<std::size_t>(i) % templates.size();
    const GroupTemplate& t = templates[g];
    const int rank = i / static_cast<int>(templates.size());  // position within the group
    VpnServer server;
    server.id = 1001 + i;
    const std::string city = t.cities[static_cast<std::size_t>(rank) % t.cities.size()];
    server.name = city + " " + std::to_string(rank + 1);
    // Reserved example domain: nothing ever resolves or connects there.
    server.address = "vpn" + std::to_string(server.id) + "." + t.slug + ".example.net";
    server.level = 1 + i % 3;
    server.location = city;
    groups[g].servers.push_back(server);
  }
  return groups;
}

int OnlineRatioPercent(int serverId) {
  // splitmix64 finaliser: well spread, and identical on every run.
  std::uint64_t x = static_cast<std::uint64_t>(static_cast<std::uint32_t>(serverId)) + 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<int>(x % 101);
}

}  // namespace devserver
