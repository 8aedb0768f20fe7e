// What `servers` prints, written as it is formatted: the catalogue the
// library filled is the only copy of it. Nothing here holds the output (or
// one server's escaped text) whole; it goes to the stream in pieces of a
// few KiB.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "tools/cli/Views.h"

namespace proxycli {

// One group as shown: its name and its kept servers in output order, a
// range of the selection's one list (a million one-server groups cost a
// list entry each, not a vector each).
struct ShownGroup {
  const std::string* name;
  const ServerInfo* const* first;
  std::size_t count;

  const ServerInfo* const* begin() const { return first; }
  const ServerInfo* const* end() const { return first + count; }
  std::size_t size() const { return count; }
  const ServerInfo* operator[](std::size_t i) const { return first[i]; }
};

// The servers `filter` keeps (Views.h), in the map's group order, sorted
// within each group; groups left without servers are absent. Points into
// `catalogue`, which must outlive it and stay unchanged.
class CatalogueSelection {
 public:
  CatalogueSelection(const ServerCatalogue& catalogue, const CatalogueFilter& filter);
  // Its groups point into it.
  CatalogueSelection(const CatalogueSelection&) = delete;
  CatalogueSelection& operator=(const CatalogueSelection&) = delete;

  const std::vector<ShownGroup>& groups() const { return groups_; }
  // Servers shown, all groups together.
  std::size_t size() const { return size_; }

 private:
  std::vector<ShownGroup> groups_;
  std::vector<const ServerInfo*> servers_;  // every group's, one after the other
  std::size_t size_ = 0;
};

// One block per group: "NAME (N servers)", then a table of its servers
// (ID, NAME, ADDRESS, LEVEL, LOCATION), every text through Printable. A
// column is as wide as its widest cell up to kWidestColumn bytes; a longer
// cell overflows its column instead of widening it for every row.
constexpr std::size_t kWidestColumn = 128;
void WriteCatalogueText(std::ostream& out, const CatalogueSelection& shown);

// One JSON object per line and server: "group" and then the fields of
// ServerJson (Views.h), keys in byte order.
void WriteCatalogueJsonLines(std::ostream& out, const CatalogueSelection& shown);

// The groups as CatalogueJson (Views.h) makes them, laid out byte for byte
// as DumpJson(..., 2) lays them out when the array sits `depth` levels deep.
void WriteCatalogueJson(std::ostream& out, const CatalogueSelection& shown, int depth);

// The --json document of `servers`, as Report::Finish would write it for
// `data` and `exitStatus`, with "groups" taken from `shown` when it is not
// null (written as it is formatted).
void WriteServersDocument(std::ostream& out, nlohmann::json data, int exitStatus,
                          const CatalogueSelection* shown);

}  // namespace proxycli
