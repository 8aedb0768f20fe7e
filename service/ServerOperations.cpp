// Online ratio and the VPN server catalogue, remote and from the cache.
#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"
#include "transport/LocalCmd.h"

namespace {

// Named sections are groups; each item is one server. The caller's map is
// appended to, never cleared.
void FillCatalogue(const CProfileFile::SectionList& sections,
                   std::map<std::string, std::vector<ServerInfo>>& servers) {
  for (const ProfileSection& section : sections) {
    const std::string& group = section.GetSetionName();
    // A group enters the map only through one of its items.
    if (group.empty() || section.begin() == section.end()) continue;
    std::vector<ServerInfo>& list = servers[group];
    // The group's size is known: growing by doubling would leave up to half
    // of a large catalogue's records as unused capacity.
    list.reserve(list.size() + section.GetItems().size());
    for (const ProfileItem& item : section) list.push_back(ServerInfo(item.key, item.value));
  }
}

}  // namespace

int ProxyHelperImpl::GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("onlineratio.php", command);
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RefusalCode(command.GetResult());
  for (const ProfileSection& section : command.GetSections()) {
    if (section.GetSetionName().empty()) continue;
    for (const ProfileItem& item : section) ratios.push_back(ServerOnlineRatio(item.key, item.value));
  }
  return 0;
}

int ProxyHelperImpl::GetVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("getserverinfo.php", command);
  if (command.Execute(1) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RESULT_NOT_SUCCEEDED;
  FillCatalogue(command.GetSections(), servers);
  command.SaveCache();
  return 0;
}

int ProxyHelperImpl::GetLocalVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers) {
  CLocalCmd command("");
  if (command.Execute(1) != 0) return -1;
  if (!command.IsSucceeded()) return -1;
  FillCatalogue(command.GetSections(), servers);
  return 0;
}
