// The VPN server catalogue: groups of servers, as getserverinfo.php sends
// them ("[group]" then "<id>=<name>,<address>,<level>,<location>").
#pragma once

#include <string>
#include <vector>

namespace devserver {

struct VpnServer {
  int id = 0;
  std::string name;
  std::string address;
  int level = 0;
  std::string location;
};

struct ServerGroup {
  std::string name;
  std::vector<VpnServer> servers;
};

// "<name>,<address>,<level>,<location>": the value of a catalogue item.
std::string FormatServerEntry(const VpnServer& server);

// Parses the value written by FormatServerEntry (blanks around fields are
// dropped); false unless it has four fields, a non-empty name and address,
// and a decimal level.
bool ParseServerEntry(const std::string& value, VpnServer* server);

// `count` servers (ids 1001, 1002, ...) dealt in turn over four groups
// ("Asia", "Europe", "North America", "Oceania", in that order); within a
// group the ids ascend. The same count always gives the same catalogue.
std::vector<ServerGroup> GenerateCatalogue(int count);

// A stable pseudo-random online ratio in percent (0 to 100) for a server.
int OnlineRatioPercent(int serverId);

}  // namespace devserver
