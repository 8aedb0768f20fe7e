#include "tools/cli/CatalogueOutput.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <memory>
#include <string_view>

#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"

namespace proxycli {

namespace {

enum Field : std::size_t { kName, kAddress, kLevel, kLocation, kFieldCount };

// The first four fields of an entry ("name,address,level,location"), as
// views into its value, split as ServerInfo::GetField splits it. GetField
// would copy each field and scan from the value's start for each one, five
// times per server and a million servers over.
struct EntryFields {
  std::string_view at[kFieldCount];

  explicit EntryFields(const ServerInfo& server) {
    const std::string_view value = server.GetValue();
    if (value.empty()) return;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      const std::size_t comma = value.find(',', begin);
      at[i] = value.substr(begin, comma == std::string_view::npos ? comma : comma - begin);
      if (comma == std::string_view::npos) break;
      begin = comma + 1;
    }
  }
};

unsigned char AsciiLower(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

// Byte order with ASCII case ignored: <0, 0 or >0.
int CompareIgnoringCase(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const unsigned char x = AsciiLower(a[i]);
    const unsigned char y = AsciiLower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(),
                     [](char x, char y) { return AsciiLower(x) == AsciiLower(y); }) != text.end();
}

// Case ignored first; texts that differ only in case keep byte order.
bool TextLess(std::string_view a, std::string_view b) {
  const int order = CompareIgnoringCase(a, b);
  return order != 0 ? order < 0 : a < b;
}

// Numbers before anything else, then in value order, texts in byte order.
bool NumericLess(std::string_view a, std::string_view b) {
  long long x = 0;
  long long y = 0;
  const bool aNumber = ParseDecimal(a, &x);
  const bool bNumber = ParseDecimal(b, &y);
  if (aNumber != bNumber) return aNumber;
  if (aNumber) return x < y;
  return a < b;
}

bool Kept(const ServerInfo& server, const CatalogueFilter& filter) {
  if (filter.level < 0 && filter.location.empty()) return true;
  const EntryFields fields(server);
  if (filter.level >= 0) {
    long long level = 0;
    if (!ParseDecimal(fields.at[kLevel], &level) || level != filter.level) return false;
  }
  return filter.location.empty() || ContainsIgnoringCase(fields.at[kLocation], filter.location);
}

bool SortedBefore(const std::string& sort, const ServerInfo* a, const ServerInfo* b) {
  if (sort == "id") return NumericLess(a->GetKey(), b->GetKey());
  const EntryFields x(*a);
  const EntryFields y(*b);
  if (sort == "level") return NumericLess(x.at[kLevel], y.at[kLevel]);
  if (sort == "location") return TextLess(x.at[kLocation], y.at[kLocation]);
  return TextLess(x.at[kName], y.at[kName]);
}

// Bytes for the stream, passed on in pieces of about kPiece: small writes
// would each cost a call into the stream, and holding more would grow with
// the catalogue or with one huge field. Also the sink of nlohmann's
// serialiser (its output-adapter interface), so escaped JSON texts go the
// same way.
class PieceWriter : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  static constexpr std::size_t kPiece = 64 * 1024;

  explicit PieceWriter(std::ostream& out) : out_(out) { buffer_.reserve(kPiece); }

  void write_character(char c) override {
    buffer_.push_back(c);
    if (buffer_.size() >= kPiece) Flush();
  }
  void write_characters(const char* data, std::size_t size) override { Append(data, size); }

  void Append(const char* data, std::size_t size) {
    if (buffer_.size() + size < kPiece) {
      buffer_.append(data, size);
      return;
    }
    Flush();
    Write(data, size);
  }
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  void Spaces(std::size_t count) {
    static constexpr char kSpaces[] = "                                                                ";
    for (std::size_t left = count; left > 0;) {
      const std::size_t n = std::min(left, sizeof kSpaces - 1);
      Append(kSpaces, n);
      left -= n;
    }
  }
  void Printable(std::string_view text) {
    PrintablePieces(text, [this](const char* data, std::size_t size) { Append(data, size); });
  }
  void Flush() {
    Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  // False once the stream failed: nothing more is worth formatting.
  bool good() const { return out_.good(); }

 private:
  void Write(const char* data, std::size_t size) {
    if (size > 0 && out_.good()) out_.write(data, static_cast<std::streamsize>(size));
  }

  std::ostream& out_;
  std::string buffer_;
};

// JSON values onto a PieceWriter. Texts go through nlohmann's own
// serialiser, kept for the whole output: json::dump() would build a
// serialiser and a result string for every one of millions of texts.
// Invalid UTF-8 becomes U+FFFD, as DumpJson (Report.h) does.
class JsonWriter {
 public:
  explicit JsonWriter(std::ostream& out)
      : out_(std::make_shared<PieceWriter>(out)),
        serializer_(out_, ' ', nlohmann::json::error_handler_t::replace),
        text_(nlohmann::json::value_t::string) {}

  PieceWriter& raw() { return *out_; }

  void Text(std::string_view text) {
    text_.get_ref<std::string&>().assign(text.data(), text.size());
    serializer_.dump(text_, false, false, 0);
  }
  void NumberOrNull(std::string_view text) {
    long long value = 0;
    if (!ParseDecimal(text, &value)) {
      out_->Append("null");
      return;
    }
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    out_->Append(digits, static_cast<std::size_t>(end.ptr - digits));
  }

 private:
  std::shared_ptr<PieceWriter> out_;
  nlohmann::detail::serializer<nlohmann::json> serializer_;
  nlohmann::json text_;
};

// One table row as FormatTable (Views.h) lays it out: the cells, trailing
// empty ones dropped, each padded to its column's width plus two spaces,
// the line's trailing spaces dropped.
void WriteRow(PieceWriter& out, const std::string_view* cells, std::size_t count, const std::size_t* widths) {
  while (count > 1 && cells[count - 1].empty()) --count;
  // Spaces are shown as they are, so the line ends at the last cell with
  // something else in it.
  std::size_t last = count;
  for (std::size_t i = 0; i < count; ++i) {
    if (cells[i].find_first_not_of(' ') != std::string_view::npos) last = i;
  }
  if (last == count) {
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

constexpr std::size_t kColumns = 1 + kFieldCount;

// The row of one server: its id, then its four fields.
void ServerCells(const ServerInfo& server, std::string_view (&cells)[kColumns]) {
  const EntryFields fields(server);
  cells[0] = server.GetKey();
  for (std::size_t i = 0; i < kFieldCount; ++i) cells[1 + i] = fields.at[i];
}

void Indent(PieceWriter& out, int depth) { out.Spaces(static_cast<std::size_t>(depth) * 2); }

}  // namespace

CatalogueSelection::CatalogueSelection(const ServerCatalogue& catalogue, const CatalogueFilter& filter) {
  std::size_t left = filter.limit == 0 ? std::numeric_limits<std::size_t>::max() : filter.limit;
  const bool everyServer = filter.group.empty() && filter.level < 0 && filter.location.empty();
  if (everyServer) servers_.reserve(std::min(CatalogueSize(catalogue), left));
  std::vector<std::size_t> starts;  // of each group in servers_, which may move while it grows
  for (const auto& group : catalogue) {
    if (left == 0) break;
    if (!filter.group.empty() && CompareIgnoringCase(group.first, filter.group) != 0) continue;
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
    if (count == 0) continue;
    groups_.push_back(ShownGroup{&group.first, nullptr, count});
    starts.push_back(start);
  }
  for (std::size_t g = 0; g < groups_.size(); ++g) groups_[g].first = servers_.data() + starts[g];
  size_ = servers_.size();
}

void WriteCatalogueText(std::ostream& stream, const CatalogueSelection& shown) {
  PieceWriter out(stream);
  const std::string_view header[kColumns] = {"ID", "NAME", "ADDRESS", "LEVEL", "LOCATION"};
  std::string_view cells[kColumns];
  for (const ShownGroup& group : shown.groups()) {
    if (!out.good()) break;
    const std::size_t count = group.size();
    out.Printable(*group.name);
    out.Append(" (" + std::to_string(count) + (count == 1 ? " server)\n" : " servers)\n"));
    // A first pass for the column widths: cheap next to the output.
    std::size_t widths[kColumns];
    for (std::size_t i = 0; i < kColumns; ++i) widths[i] = header[i].size();
    for (const ServerInfo* server : group) {
      ServerCells(*server, cells);
      for (std::size_t i = 0; i < kColumns; ++i) {
        widths[i] = std::max(widths[i], std::min(PrintableSize(cells[i]), kWidestColumn));
      }
    }
    WriteRow(out, header, kColumns, widths);
    for (const ServerInfo* server : group) {
      ServerCells(*server, cells);
      WriteRow(out, cells, kColumns, widths);
    }
  }
  out.Flush();
}

void WriteCatalogueJsonLines(std::ostream& stream, const CatalogueSelection& shown) {
  JsonWriter json(stream);
  PieceWriter& out = json.raw();
  for (const ShownGroup& group : shown.groups()) {
    for (const ServerInfo* server : group) {
      if (!out.good()) break;
      const EntryFields fields(*server);
      out.Append("{\"address\":");
      json.Text(fields.at[kAddress]);
      out.Append(",\"group\":");
      json.Text(*group.name);
      out.Append(",\"id\":");
      json.NumberOrNull(server->GetKey());
      out.Append(",\"level\":");
      json.NumberOrNull(fields.at[kLevel]);
      out.Append(",\"location\":");
      json.Text(fields.at[kLocation]);
      out.Append(",\"name\":");
      json.Text(fields.at[kName]);
      out.Append("}\n");
    }
  }
  out.Flush();
}

void WriteCatalogueJson(std::ostream& stream, const CatalogueSelection& shown, int depth) {
  JsonWriter json(stream);
  PieceWriter& out = json.raw();
  const std::vector<ShownGroup>& groups = shown.groups();
  if (groups.empty()) {
    out.Append("[]");
    out.Flush();
    return;
  }
  out.Append("[\n");
  for (std::size_t g = 0; g < groups.size() && out.good(); ++g) {
    Indent(out, depth + 1);
    out.Append("{\n");
    Indent(out, depth + 2);
    out.Append("\"name\": ");
    json.Text(*groups[g].name);
    out.Append(",\n");
    Indent(out, depth + 2);
    out.Append("\"servers\": [");
    const ShownGroup& servers = groups[g];
    for (std::size_t s = 0; s < servers.size() && out.good(); ++s) {
      const EntryFields fields(*servers[s]);
      out.Append(s == 0 ? "\n" : ",\n");
      Indent(out, depth + 3);
      out.Append("{\n");
      const struct {
        const char* key;
        std::string_view text;
        bool number;
      } members[] = {{"address", fields.at[kAddress], false},
                     {"id", servers[s]->GetKey(), true},
                     {"level", fields.at[kLevel], true},
                     {"location", fields.at[kLocation], false},
                     {"name", fields.at[kName], false}};
      for (std::size_t m = 0; m < std::size(members); ++m) {
        Indent(out, depth + 4);
        out.Append("\"");
        out.Append(members[m].key);
        out.Append("\": ");
        if (members[m].number) {
          json.NumberOrNull(members[m].text);
        } else {
          json.Text(members[m].text);
        }
        out.Append(m + 1 < std::size(members) ? ",\n" : "\n");
      }
      Indent(out, depth + 3);
      out.Append("}");
    }
    if (servers.size() != 0) {
      out.Append("\n");
      Indent(out, depth + 2);
    }
    out.Append("]\n");
    Indent(out, depth + 1);
    out.Append(g + 1 < groups.size() ? "},\n" : "}\n");
  }
  Indent(out, depth);
  out.Append("]");
  out.Flush();
}

void WriteServersDocument(std::ostream& out, nlohmann::json data, int exitStatus,
                          const CatalogueSelection* shown) {
  // What Report::Finish adds.
  data["ok"] = exitStatus == 0;
  data["exit_status"] = exitStatus;
  if (!data.contains("errors")) data["errors"] = nlohmann::json::array();
  if (shown == nullptr) {
    out << DumpJson(data, 2) << "\n";
    return;
  }
  // Everything else is small: the serialiser lays it out, and the groups go
  // where it put a stand-in. A top-level key is the only text at this
  // indentation that can open a line with a quote.
  static const std::string kStandIn = "(groups)";
  data["groups"] = kStandIn;
  const std::string text = DumpJson(data, 2);
  const std::string key = "\n  \"groups\": ";
  const std::size_t at = text.find(key + "\"" + kStandIn + "\"");
  if (at == std::string::npos) {  // cannot happen; but never write past the text
    out << text << "\n";
    return;
  }
  const std::size_t rest = at + key.size() + kStandIn.size() + 2;
  out.write(text.data(), static_cast<std::streamsize>(at + key.size()));
  WriteCatalogueJson(out, *shown, 1);
  out.write(text.data() + rest, static_cast<std::streamsize>(text.size() - rest));
  out << "\n";
}

}  // namespace proxycli
