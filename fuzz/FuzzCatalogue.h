// What a catalogue fill must leave in the caller's map: every earlier record
// where it was, then each named section's items appended to its group in text
// order. A section without items, or without a name, adds no group.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"

namespace fuzzing {

inline std::size_t NamedItemCount(const CProfileFile::SectionList& sections) {
  std::size_t count = 0;
  for (const ProfileSection& section : sections) {
    if (!section.GetSetionName().empty()) count += section.GetItems().size();
  }
  return count;
}

inline std::size_t RecordCount(const ServerCatalogue& servers) {
  std::size_t count = 0;
  for (const auto& group : servers) count += group.second.size();
  return count;
}

// `after` is `before` with the catalogue of `sections` appended.
inline void CheckAppendedCatalogue(const ServerCatalogue& before, const CProfileFile::SectionList& sections,
                                   const ServerCatalogue& after) {
  std::map<std::string, std::vector<ProfileItem>> added;
  for (const ProfileSection& section : sections) {
    if (section.GetSetionName().empty()) continue;
    for (const ProfileItem& item : section) added[section.GetSetionName()].push_back(item);
  }

  FUZZ_CHECK(RecordCount(after) == RecordCount(before) + NamedItemCount(sections));
  for (const auto& [group, records] : after) {
    const bool earlier = before.count(group) != 0;
    FUZZ_CHECK(earlier || added.count(group) != 0);
    if (!earlier) FUZZ_CHECK(!group.empty());
    FUZZ_CHECK(!records.empty());
  }
  for (const auto& [group, records] : before) {
    const auto now = after.find(group);
    FUZZ_CHECK(now != after.end());
    FUZZ_CHECK(now->second.size() >= records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      FUZZ_CHECK(now->second[i].GetKey() == records[i].GetKey());
      FUZZ_CHECK(now->second[i].GetValue() == records[i].GetValue());
    }
  }
  for (const auto& [group, items] : added) {
    const auto now = after.find(group);
    FUZZ_CHECK(now != after.end());
    const auto earlier = before.find(group);
    const std::size_t offset = earlier == before.end() ? 0 : earlier->second.size();
    FUZZ_CHECK(now->second.size() == offset + items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      FUZZ_CHECK(now->second[offset + i].GetKey() == items[i].key);
      FUZZ_CHECK(now->second[offset + i].GetValue() == items[i].value);
    }
  }
}

}  // namespace fuzzing
