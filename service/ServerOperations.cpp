// Online ratio and the VPN server catalogue, remote and from the cache.
#include <cstddef>
#include <unordered_map>
#include <utility>

#include "service/ProxyHelperImpl.h"
#include "service/ReplyReaders.h"
#include "transport/HttpCmd.h"
#include "transport/LocalCmd.h"

void FillCatalogue(CProfileFile::SectionList sections, ServerCatalogue& servers) {
  // Each group's list is sized once for all its sections: a group may be
  // split over any number of sections, and growing per section would make
  // the fill quadratic, while growing by doubling could leave up to half of
  // a large catalogue's records as unused capacity.
  std::vector<std::vector<ServerInfo>*> targets(sections.size(), nullptr);
  std::unordered_map<std::vector<ServerInfo>*, std::size_t> incoming;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const ProfileSection& section = sections[i];
    // A group enters the map only through one of its items.
    if (section.GetSetionName().empty() || section.GetItems().empty()) continue;
    targets[i] = &servers[section.GetSetionName()];
    incoming[targets[i]] += section.GetItems().size();
  }
  for (const auto& group : incoming) group.first->reserve(group.first->size() + group.second);

  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (targets[i] == nullptr) continue;
    // The section's items are released as soon as they are moved, so the
    // parsed reply and the records are never both held whole.
    ProfileSection::ItemList items = sections[i].TakeItems();
    for (ProfileItem& item : items) targets[i]->emplace_back(std::move(item.key), std::move(item.value));
  }
}

void FillOnlineRatios(CProfileFile::SectionList sections, std::vector<ServerOnlineRatio>& ratios) {
  std::size_t count = 0;
  for (const ProfileSection& section : sections) {
    if (!section.GetSetionName().empty()) count += section.GetItems().size();
  }
  ratios.reserve(ratios.size() + count);
  for (ProfileSection& section : sections) {
    if (section.GetSetionName().empty()) continue;
    ProfileSection::ItemList items = section.TakeItems();
    for (ProfileItem& item : items) ratios.emplace_back(std::move(item.key), std::move(item.value));
  }
}

int ProxyHelperImpl::GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("onlineratio.php", command);
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RefusalCode(command.GetResult());
  FillOnlineRatios(command.TakeSections(), ratios);
  return 0;
}

int ProxyHelperImpl::GetVpnServers(ServerCatalogue& servers) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("getserverinfo.php", command);
  if (command.Execute(1) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RESULT_NOT_SUCCEEDED;
  FillCatalogue(command.TakeSections(), servers);
  command.SaveCache();
  return 0;
}

int ProxyHelperImpl::GetLocalVpnServers(ServerCatalogue& servers) {
  CLocalCmd command("");
  if (command.Execute(1) != 0) return -1;
  if (!command.IsSucceeded()) return -1;
  FillCatalogue(command.TakeSections(), servers);
  return 0;
}
