#include "tools/cli/CatalogueOutput.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <memory>
#include <string_view>

#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

enum Column : std::size_t { kId, kName, kAddress, kLevel, kLocation, kColumns };

// A server as its table row: the id, then the first four fields of its entry
// ("name,address,level,location"), as views into the key and value, split as
// ServerInfo::GetField splits them. GetField would copy each field and scan
// from the value's start for each one, five times per server and a million
// servers over.
struct ServerRow {
  std::string_view at[kColumns];

  explicit ServerRow(const ServerInfo& server) {
    at[kId] = server.GetKey();
    const std::string_view value = server.GetValue();
    // Past the last comma, the fields left stay empty.
    for (std::size_t i = kName, begin = 0; i < kColumns && begin <= value.size(); ++i) {
      const std::size_t end = std::min(value.find(',', begin), value.size());
      at[i] = value.substr(begin, end - begin);
      begin = end + 1;
    }
  }
};

unsigned char AsciiLower(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

bool SameIgnoringCase(char x, char y) { return AsciiLower(x) == AsciiLower(y); }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), SameIgnoringCase);
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), SameIgnoringCase) != text.end();
}

// Case ignored first (a text before every longer one it begins); texts that
// differ only in case keep byte order.
bool TextLess(std::string_view a, std::string_view b) {
  const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(), SameIgnoringCase);
  if (x != a.end() && y != b.end()) return AsciiLower(*x) < AsciiLower(*y);
  return x == a.end() && y == b.end() ? a < b : x == a.end();
}

// Numbers before anything else, then in value order, texts in byte order.
bool NumericLess(std::string_view a, std::string_view b) {
  long long x = 0;
  long long y = 0;
  const bool aNumber = ParseDecimal(a, &x);
  const bool bNumber = ParseDecimal(b, &y);
  if (aNumber != bNumber) return aNumber;
  return aNumber ? x < y : a < b;
}

bool Kept(const ServerInfo& server, const CatalogueFilter& filter) {
  if (filter.level < 0 && filter.location.empty()) return true;
  const ServerRow row(server);
  if (filter.level >= 0) {
    long long level = 0;
    if (!ParseDecimal(row.at[kLevel], &level) || level != filter.level) return false;
  }
  return filter.location.empty() || ContainsIgnoringCase(row.at[kLocation], filter.location);
}

bool SortedBefore(const std::string& sort, const ServerInfo* a, const ServerInfo* b) {
  if (sort == "id") return NumericLess(a->GetKey(), b->GetKey());
  const ServerRow x(*a);
  const ServerRow y(*b);
  if (sort == "level") return NumericLess(x.at[kLevel], y.at[kLevel]);
  if (sort == "location") return TextLess(x.at[kLocation], y.at[kLocation]);
  return TextLess(x.at[kName], y.at[kName]);
}

// Bytes for the stream, passed on in pieces of about kPiece: small writes
// would each cost a call into the stream, and holding more would grow with
// the catalogue or with one huge field. Also the sink of nlohmann's
// serialiser (its output-adapter interface), which JSON texts go through,
// one serialiser for the whole output: json::dump() would build a
// serialiser and a result string for every one of millions of texts.
// Invalid UTF-8 becomes U+FFFD, as DumpJson (Report.h) does.
class PieceWriter : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  static constexpr std::size_t kPiece = 64 * 1024;

  explicit PieceWriter(std::ostream& out)
      : out_(out),
        // The serialiser only borrows this writer: its pointer deletes nothing.
        serializer_(std::shared_ptr<PieceWriter>(this, [](PieceWriter*) {}), ' ',
                    nlohmann::json::error_handler_t::replace),
        text_(nlohmann::json::value_t::string) {
    buffer_.reserve(kPiece);
  }

  void write_character(char c) override {
    buffer_.push_back(c);
    if (buffer_.size() >= kPiece) Flush();
  }
  void write_characters(const char* data, std::size_t size) override { Append({data, size}); }

  void Append(std::string_view bytes) {
    if (buffer_.size() + bytes.size() < kPiece) {
      buffer_.append(bytes);
      return;
    }
    Flush();
    Write(bytes);
  }
  // Few at a time: column padding and indentation.
  void Spaces(std::size_t count) {
    if (buffer_.size() + count >= kPiece) Flush();
    buffer_.append(count, ' ');
  }
  // A line end, then the indentation of `depth` levels of two spaces;
  // nothing at a negative depth, which lays out on one line.
  void NewLine(int depth) {
    if (depth < 0) return;
    Append("\n");
    Spaces(static_cast<std::size_t>(depth) * 2);
  }
  void Printable(std::string_view text) {
    PrintablePieces(text, [this](const char* data, std::size_t size) { Append({data, size}); });
  }
  void Text(std::string_view text) {
    text_.get_ref<std::string&>().assign(text.data(), text.size());
    serializer_.dump(text_, false, false, 0);
  }
  void NumberOrNull(std::string_view text) {
    long long value = 0;
    if (!ParseDecimal(text, &value)) {
      Append("null");
      return;
    }
    char digits[24];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    Append({digits, static_cast<std::size_t>(written.ptr - digits)});
  }
  void Flush() {
    Write(buffer_);
    buffer_.clear();
  }
  // False once the stream failed: nothing more is worth formatting.
  bool good() const { return out_.good(); }

 private:
  void Write(std::string_view bytes) {
    if (!bytes.empty() && out_.good()) out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::ostream& out_;
  std::string buffer_;
  nlohmann::detail::serializer<nlohmann::json> serializer_;
  nlohmann::json text_;  // reused for every text
};

// One table row as FormatTable (Views.h) lays it out: the cells, trailing
// empty ones dropped, each padded to its column's width plus two spaces,
// the line's trailing spaces dropped.
void WriteRow(PieceWriter& out, const std::string_view (&cells)[kColumns],
              const std::size_t (&widths)[kColumns]) {
  // Spaces are shown as they are, so the line ends at the last cell with
  // something else in it.
  std::size_t last = kColumns;
  for (std::size_t i = 0; i < kColumns; ++i) {
    if (cells[i].find_first_not_of(' ') != std::string_view::npos) last = i;
  }
  if (last == kColumns) {
    out.Append("\n");
    return;
  }
  out.Append("  ");
  for (std::size_t i = 0; i < last; ++i) {
    out.Printable(cells[i]);
    const std::size_t size = PrintableSize(cells[i]);
    out.Spaces((size < widths[i] ? widths[i] - size : 0) + 2);
  }
  const std::string_view tail = cells[last];
  out.Printable(tail.substr(0, tail.find_last_not_of(' ') + 1));
  out.Append("\n");
}

// One server as DumpJson lays out {"address", "id", "level", "location",
// "name"} (catalogue entries are "name,address,level,location" under the
// id; id and level are numbers, null when the service sent something that
// is not one), with "group" when `group` is not null: on one line when
// `depth` is negative, else with indentation 2, `depth` levels deep.
void WriteServer(PieceWriter& out, const ServerInfo& server, const std::string* group, int depth) {
  const ServerRow row(server);
  char separator = '{';
  // Each key comes quoted, with its colon.
  const auto member = [&](std::string_view key, std::string_view text, bool number) {
    out.write_character(separator);
    separator = ',';
    if (depth >= 0) out.NewLine(depth + 1);
    out.Append(key);
    if (depth >= 0) out.Append(" ");
    if (number) {
      out.NumberOrNull(text);
    } else {
      out.Text(text);
    }
  };
  // Keys in byte order, as nlohmann's objects keep them.
  member("\"address\":", row.at[kAddress], false);
  if (group != nullptr) member("\"group\":", *group, false);
  member("\"id\":", row.at[kId], true);
  member("\"level\":", row.at[kLevel], true);
  member("\"location\":", row.at[kLocation], false);
  member("\"name\":", row.at[kName], false);
  if (depth >= 0) out.NewLine(depth);
  out.Append("}");
}

// An array `depth` levels deep as indentation 2 lays it out: "[]" when
// empty, else each element on a line of its own, written by `element`; on
// one line when `depth` is negative.
template <typename Range, typename WriteElement>
void WriteArray(PieceWriter& out, const Range& range, int depth, const WriteElement& element) {
  const int inner = depth < 0 ? depth : depth + 1;
  out.Append("[");
  bool empty = true;
  for (const auto& item : range) {
    if (!out.good()) break;
    out.Append(empty ? "" : ",");
    empty = false;
    out.NewLine(inner);
    element(item);
  }
  if (!empty) out.NewLine(depth);
  out.Append("]");
}

// The groups, each {"name", "servers"} with the servers' objects, laid out
// byte for byte as DumpJson(..., 2) lays them out when the array sits
// `depth` levels deep, or as DumpJson(..., -1) does when `depth` is
// negative.
void WriteCatalogueJson(std::ostream& stream, const CatalogueSelection& shown, int depth) {
  PieceWriter out(stream);
  const auto deeper = [depth](int levels) { return depth < 0 ? depth : depth + levels; };
  const char* const space = depth < 0 ? "" : " ";
  WriteArray(out, shown.groups(), depth, [&](const ShownGroup& group) {
    out.Append("{");
    out.NewLine(deeper(2));
    out.Append("\"name\":");
    out.Append(space);
    out.Text(*group.name);
    out.Append(",");
    out.NewLine(deeper(2));
    out.Append("\"servers\":");
    out.Append(space);
    WriteArray(out, group, deeper(2),
               [&out, &deeper](const ServerInfo* server) { WriteServer(out, *server, nullptr, deeper(3)); });
    out.NewLine(deeper(1));
    out.Append("}");
  });
  out.Flush();
}

}  // namespace

CatalogueSelection::CatalogueSelection(const ServerCatalogue& catalogue, const CatalogueFilter& filter) {
  std::size_t left = filter.limit == 0 ? std::numeric_limits<std::size_t>::max() : filter.limit;
  const bool everyServer = filter.group.empty() && filter.level < 0 && filter.location.empty();
  if (everyServer) servers_.reserve(std::min(CatalogueSize(catalogue), left));
  for (const auto& group : catalogue) {
    if (left == 0) break;
    if (!filter.group.empty() && !EqualIgnoringCase(group.first, filter.group)) continue;
    const std::size_t start = servers_.size();
    for (const ServerInfo& server : group.second) {
      // Unsorted, the first `left` kept ones are all that shows.
      if (filter.sort.empty() && servers_.size() - start == left) break;
      if (Kept(server, filter)) servers_.push_back(&server);
    }
    if (!filter.sort.empty()) {
      std::stable_sort(
          servers_.begin() + static_cast<std::ptrdiff_t>(start), servers_.end(),
          [&filter](const ServerInfo* a, const ServerInfo* b) { return SortedBefore(filter.sort, a, b); });
    }
    if (servers_.size() - start > left) servers_.resize(start + left);
    const std::size_t count = servers_.size() - start;
    left -= count;
    if (count != 0) groups_.push_back(ShownGroup{&group.first, nullptr, count});
  }
  // Only now: servers_ may have moved while it grew. The groups follow one
  // another in it.
  const ServerInfo* const* first = servers_.data();
  for (ShownGroup& group : groups_) {
    group.first = first;
    first += group.count;
  }
}

void WriteCatalogueText(std::ostream& stream, const CatalogueSelection& shown) {
  PieceWriter out(stream);
  const std::string_view header[kColumns] = {"ID", "NAME", "ADDRESS", "LEVEL", "LOCATION"};
  for (const ShownGroup& group : shown.groups()) {
    if (!out.good()) break;
    const std::size_t count = group.size();
    out.Printable(*group.name);
    out.Append(" (" + std::to_string(count) + (count == 1 ? " server)\n" : " servers)\n"));
    // A first pass for the column widths: cheap next to the output.
    std::size_t widths[kColumns];
    for (std::size_t i = 0; i < kColumns; ++i) widths[i] = header[i].size();
    for (const ServerInfo* server : group) {
      const ServerRow row(*server);
      for (std::size_t i = 0; i < kColumns; ++i) {
        widths[i] = std::max(widths[i], std::min(PrintableSize(row.at[i]), kWidestColumn));
      }
    }
    WriteRow(out, header, widths);
    for (const ServerInfo* server : group) WriteRow(out, ServerRow(*server).at, widths);
  }
  out.Flush();
}

void WriteCatalogueJsonLines(std::ostream& stream, const CatalogueSelection& shown) {
  PieceWriter out(stream);
  for (const ShownGroup& group : shown.groups()) {
    for (const ServerInfo* server : group) {
      if (!out.good()) break;
      WriteServer(out, *server, group.name, -1);
      out.Append("\n");
    }
  }
  out.Flush();
}

void WriteServersDocument(std::ostream& out, const nlohmann::json& document, const CatalogueSelection* shown,
                          int indent) {
  // Everything else is small: the serialiser lays it out, and the groups go
  // where it put a stand-in. The stand-in's quotes are bare only where
  // "groups" is a key with that value: no key below the top is "groups".
  const std::string key = indent < 0 ? "\"groups\":" : "\n  \"groups\": ";
  const std::string standIn = key + "\"(groups)\"";
  std::string text;
  if (shown == nullptr) {
    text = DumpJson(document, indent);
  } else {
    nlohmann::json withStandIn = document;
    withStandIn["groups"] = "(groups)";
    text = DumpJson(withStandIn, indent);
  }
  const std::size_t at = shown == nullptr ? std::string::npos : text.find(standIn);
  // Without groups, or (cannot happen) without the stand-in: as it is.
  if (at == std::string::npos) {
    out << text << "\n";
    return;
  }
  out << std::string_view(text).substr(0, at) << key;
  WriteCatalogueJson(out, *shown, indent < 0 ? -1 : 1);
  out << std::string_view(text).substr(at + standIn.size()) << "\n";
}

}  // namespace proxycli
