// Online ratio and the VPN server catalogue, remote and from the cache.
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "service/ProxyHelperImpl.h"
#include "service/ReplyReaders.h"
#include "transport/HttpCmd.h"
#include "transport/LocalCmd.h"
#include "transport/OperationContext.h"
#include "wire/Vocabulary.h"

void FillCatalogue(CProfileFile::SectionList sections, ServerCatalogue& servers) {
  // A group's first section in the reply gives its list an exact size; when
  // further sections of the group follow, the list grows geometrically
  // (amortised linear, however the reply splits the group) and is trimmed at
  // the end, so no large unused capacity is left. Each section is released
  // as soon as its items are moved, so the parsed reply and the caller's map
  // are never both held whole.
  std::vector<std::vector<ServerInfo>*> grown;
  for (ProfileSection& section : sections) {
    // A group enters the map only through one of its items.
    if (section.GetSetionName().empty() || section.GetItems().empty()) {
      section = ProfileSection();
      continue;
    }
    std::vector<ServerInfo>& list = servers[section.GetSetionName()];
    const std::size_t incoming = section.GetItems().size();
    if (list.capacity() - list.size() < incoming) {
      if (list.empty()) {
        list.reserve(incoming);
      } else {
        list.reserve(std::max(list.size() + incoming, 2 * list.capacity()));
        grown.push_back(&list);
      }
    }
    ProfileSection::ItemList items = section.TakeItems();
    section = ProfileSection();
    for (ProfileItem& item : items) list.emplace_back(std::move(item.key), std::move(item.value));
  }
  for (std::vector<ServerInfo>* list : grown) list->shrink_to_fit();
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

int ProxyHelperImpl::GetOnlineRatio(const OperationContext& context, std::vector<ServerOnlineRatio>& ratios) {
  CHttpCmd command(context, "", 80);
  PrepareSessionRequest(protocol::kOnlineRatioScript, command);
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RefusalCode(command.GetResult());
  FillOnlineRatios(command.TakeSections(), ratios);
  return 0;
}

int ProxyHelperImpl::GetVpnServers(const OperationContext& context, ServerCatalogue& servers) {
  CHttpCmd command(context, "", 80);
  PrepareSessionRequest(protocol::kCatalogueScript, command);
  if (command.Execute(1) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RESULT_NOT_SUCCEEDED;
  FillCatalogue(command.TakeSections(), servers);
  command.SaveCache();
  return 0;
}

int ProxyHelperImpl::GetLocalVpnServers(const OperationContext& context, ServerCatalogue& servers) {
  CLocalCmd command(context, "");
  if (command.Execute(1) != 0) return -1;
  if (!command.IsSucceeded()) return -1;
  FillCatalogue(command.TakeSections(), servers);
  return 0;
}
