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

namespace proxycli {

// What `servers` shows of the catalogue.
struct CatalogueFilter {
  std::string group;      // empty: every group; else the one of this name (ASCII case ignored)
  int level = -1;         // negative: any level
  std::string location;   // empty: any; else part of the location (ASCII case ignored)
  std::size_t limit = 0;  // 0: no limit; else at most this many servers, in output order
  std::string sort;       // empty: the service's order; "name", "id", "level" or "location"
};

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
};

// The servers `filter` keeps, in the map's group order, sorted
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
  std::size_t size() const { return servers_.size(); }

 private:
  std::vector<ShownGroup> groups_;
  std::vector<const ServerInfo*> servers_;  // every group's, one after the other
};

// One block per group: "NAME (N servers)", then a table of its servers
// (ID, NAME, ADDRESS, LEVEL, LOCATION), every text through Printable. A
// column is as wide as its widest cell up to kWidestColumn bytes; a longer
// cell overflows its column instead of widening it for every row.
constexpr std::size_t kWidestColumn = 128;
void WriteCatalogueText(std::ostream& out, const CatalogueSelection& shown);

// One JSON object per line and server: "address", "group", "id", "level",
// "location", "name" (id and level numbers, or null when the service sent
// something that is not one).
void WriteCatalogueJsonLines(std::ostream& out, const CatalogueSelection& shown);

// The JSON document of `servers`: `document` as DumpJson lays it out with
// `indent` (negative: one line), with "groups" taken from `shown` when it is
// not null (written as it is formatted), and a line end. A Report::Finish
// writer.
void WriteServersDocument(std::ostream& out, const nlohmann::json& document, const CatalogueSelection* shown,
                          int indent);

}  // namespace proxycli
