#include "bench/WorstReplies.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "wire/Bzip2.h"
#include "wire/Cipher.h"
#include "wire/Vocabulary.h"

namespace bench {
namespace {

// A little under the output bound, so that no reading of "at most" can turn
// a reply meant to be accepted into one that is refused.
constexpr std::size_t kTextBytes = kMaxDecodedBytes - 1024;
// The envelope: the unnamed section and its one item.
constexpr char kEnvelope[] = "result=0\n";
constexpr std::size_t kEnvelopeBytes = sizeof kEnvelope - 1;
constexpr std::size_t kEnvelopeEntries = 2;
// With one named section, the items take every entry left.
constexpr std::size_t kItemsOfOneSection = kMaxReplyEntries - kEnvelopeEntries - 1;
constexpr std::size_t kOneItemSections = (kMaxReplyEntries - kEnvelopeEntries) / 2;
// Names as long as the text allows for that many sections.
constexpr std::size_t kSectionNameLength =
    (kTextBytes - kEnvelopeBytes) / kOneItemSections - (sizeof "[]\n=\n" - 1);
// One server in section "g" whose value fills the text.
constexpr std::size_t kOneValueCommas = kTextBytes - kEnvelopeBytes - (sizeof "[g]\n=\n" - 1);
constexpr std::size_t kCommasPerValue = 30;

// "A=" + Base64(Twofish(protocol::kCompressedMarker + bzip2(text) + fill)): the fill after the
// end of the stream is ignored by the client, but it arrives, is decoded
// and is decrypted like the rest, so the body is as large as `wireBytes`
// allows.
std::string Framed(const std::string& text, std::size_t wireBytes) {
  std::string packed;
  if (!wire::Bzip2Compress(text, &packed)) return std::string();
  std::string payload = protocol::kCompressedMarker + packed;
  // 48-byte steps: whole cipher blocks and whole Base64 groups.
  const std::size_t payloadBytes = (wireBytes - 1024 - 2) / 4 * 3 / 48 * 48;
  if (payload.size() < payloadBytes) payload.resize(payloadBytes, '\0');
  return "A=" + Base64Encode(TwofishEncrypt(DeriveKey(BenchKeys().m1), payload));
}

// Empty items ("=") up to `textBytes`: at the output bound, over 33 million
// entries in a body that is small before the fill.
std::string EmptyItemsOverBound(std::size_t textBytes) {
  std::string text = std::string(kEnvelope) + "[g]\n";
  text.reserve(textBytes);
  while (text.size() + 2 <= textBytes) text += "=\n";
  return text;
}

// One-item sections of distinct groups, the names kSectionNameLength long:
// every section becomes a group of its own, and the name is held twice
// (section and map key) while the catalogue is filled.
std::string DistinctOneItemSections(std::size_t sections) {
  std::string text(kEnvelope);
  text.reserve(kEnvelopeBytes + sections * (kSectionNameLength + std::strlen("[]\n=\n")));
  for (std::size_t i = 0; i < sections; ++i) {
    const std::string number = std::to_string(i);
    text += '[';
    text.append(kSectionNameLength - number.size(), 'g');
    text += number;
    text += "]\n=\n";
  }
  return text;
}

std::size_t NumberedKeyBytes(std::size_t items) {
  std::size_t bytes = 0;
  for (std::size_t i = 1; i <= items; ++i) bytes += std::to_string(i).size();
  return bytes;
}

// The value length with which `items` items share out the text left.
std::size_t FillingValueLength(const std::string& section, std::size_t items, bool numberedKeys) {
  const std::size_t header = kEnvelopeBytes + section.size() + std::strlen("[]\n");
  const std::size_t keyBytes = numberedKeys ? NumberedKeyBytes(items) : 0;
  return (kTextBytes - header - keyBytes - 2 * items) / items;
}

// One section of items, keys from `numberedKeys` (1, 2, ...) or empty, each
// with `value`.
std::string OneSectionOfItems(const std::string& section, std::size_t items, bool numberedKeys,
                              const std::string& value) {
  std::string text = std::string(kEnvelope) + "[" + section + "]\n";
  const std::size_t keyBytes = numberedKeys ? NumberedKeyBytes(items) : 0;
  text.reserve(text.size() + keyBytes + items * (value.size() + 2));
  for (std::size_t i = 1; i <= items; ++i) {
    if (numberedKeys) text += std::to_string(i);
    text += '=';
    text += value;
    text += '\n';
  }
  return text;
}

std::string FillingItems(const std::string& section, std::size_t items, bool numberedKeys) {
  return OneSectionOfItems(section, items, numberedKeys,
                           std::string(FillingValueLength(section, items, numberedKeys), 'v'));
}

// One server whose value is nothing but commas: as many fields as bytes.
std::string OneValueOfCommas(std::size_t commas) {
  std::string text = std::string(kEnvelope) + "[g]\n=";
  text.append(commas, ',');
  text += '\n';
  return text;
}

// 1234567 -> "1,234,567", for the labels.
std::string Grouped(std::size_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

constexpr std::size_t kFullWire = kMaxWireBytes;
constexpr std::size_t kHalfWire = kMaxWireBytes / 2;

// A reply's twin half as large; `body` builds it.
WorstReply HalfOf(const WorstReply& full, std::size_t records, ReplyBuilder body) {
  WorstReply twin = full;
  twin.name += "_half";
  twin.label += ", half";
  twin.records = records;
  twin.body = std::move(body);
  twin.halfOf = full.name;
  return twin;
}

std::vector<WorstReply> BuildReplies() {
  const std::size_t halfItems = kItemsOfOneSection / 2;
  const std::size_t halfSections = kOneItemSections / 2;
  const std::size_t valueLength = FillingValueLength("g", kItemsOfOneSection, false);
  const std::size_t ratioValueLength = FillingValueLength("ratio", kItemsOfOneSection, false);
  const std::string commas(kCommasPerValue, ',');

  std::vector<WorstReply> replies = {
      {"over_bound_empty_items", "  GetVpnServers, 33.5M empty items (over the entry bound)",
       ReplyOperation::kGetVpnServers, true, 0,
       [] { return Framed(EmptyItemsOverBound(kTextBytes), kFullWire); }, ""},
      {"distinct_sections",
       "  GetVpnServers, " + Grouped(kOneItemSections) + " one-item sections, distinct " +
           std::to_string(kSectionNameLength) + "-byte names",
       ReplyOperation::kGetVpnServers, false, kOneItemSections,
       [] { return Framed(DistinctOneItemSections(kOneItemSections), kFullWire); }, ""},
      {"empty_items", "  GetVpnServers, " + Grouped(kItemsOfOneSection) + " empty items in one section",
       ReplyOperation::kGetVpnServers, false, kItemsOfOneSection,
       [] { return Framed(OneSectionOfItems("g", kItemsOfOneSection, false, ""), kFullWire); }, ""},
      {"long_values", "  GetVpnServers, " + Grouped(kItemsOfOneSection) + " items, values filling 64 MiB",
       ReplyOperation::kGetVpnServers, false, kItemsOfOneSection,
       [] { return Framed(FillingItems("g", kItemsOfOneSection, false), kFullWire); }, ""},
      {"comma_value", "  GetVpnServers, one server, its value " + Grouped(kOneValueCommas) + " commas",
       ReplyOperation::kGetVpnServers, false, 1,
       [] { return Framed(OneValueOfCommas(kOneValueCommas), kFullWire); }, ""},
      {"comma_values",
       "  GetVpnServers, " + Grouped(kItemsOfOneSection) + " values of " + std::to_string(kCommasPerValue) +
           " commas each (the most the entry bound allows)",
       ReplyOperation::kGetVpnServers, false, kItemsOfOneSection,
       [commas] { return Framed(OneSectionOfItems("g", kItemsOfOneSection, false, commas), kFullWire); }, ""},
      {"online_ratios", "  GetOnlineRatio, " + Grouped(kItemsOfOneSection) + " items, values filling 64 MiB",
       ReplyOperation::kGetOnlineRatio, false, kItemsOfOneSection,
       [] { return Framed(FillingItems("ratio", kItemsOfOneSection, false), kFullWire); }, ""},
      // Last of the full ones: the client keeps the server configuration
      // record for good. No twin: the application does not walk it.
      {"server_levels", "  GetUserInfo, [serverlevel] of " + Grouped(kItemsOfOneSection) + " distinct levels",
       ReplyOperation::kGetUserInfo, false, kItemsOfOneSection,
       [] { return Framed(FillingItems("serverlevel", kItemsOfOneSection, true), kFullWire); }, ""},
  };
  // The twins: the same values (or names) half as many times, or half the
  // commas, in half the wire bytes.
  const std::vector<WorstReply> twins = {
      HalfOf(replies[0], 0, [] { return Framed(EmptyItemsOverBound(kTextBytes / 2), kHalfWire); }),
      HalfOf(replies[1], halfSections,
             [halfSections] { return Framed(DistinctOneItemSections(halfSections), kHalfWire); }),
      HalfOf(replies[2], halfItems,
             [halfItems] { return Framed(OneSectionOfItems("g", halfItems, false, ""), kHalfWire); }),
      HalfOf(replies[3], halfItems,
             [halfItems, valueLength] {
               return Framed(OneSectionOfItems("g", halfItems, false, std::string(valueLength, 'v')),
                             kHalfWire);
             }),
      HalfOf(replies[4], 1, [] { return Framed(OneValueOfCommas(kOneValueCommas / 2), kHalfWire); }),
      HalfOf(replies[5], halfItems,
             [halfItems, commas] {
               return Framed(OneSectionOfItems("g", halfItems, false, commas), kHalfWire);
             }),
      HalfOf(replies[6], halfItems,
             [halfItems, ratioValueLength] {
               return Framed(OneSectionOfItems("ratio", halfItems, false, std::string(ratioValueLength, 'v')),
                             kHalfWire);
             }),
  };
  replies.insert(replies.end(), twins.begin(), twins.end());
  return replies;
}

}  // namespace

const std::vector<WorstReply>& WorstReplies() {
  static const std::vector<WorstReply>* replies = new std::vector<WorstReply>(BuildReplies());
  return *replies;
}

std::size_t CountEntries(const std::string& text) {
  std::size_t entries = 0;
  bool named = false;
  bool unnamedCounted = false;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const char first = end > begin ? text[begin] : '\n';
    if (first == '[') {
      named = true;
      ++entries;
    } else if (first != ';' && first != '#' &&
               std::memchr(text.data() + begin, '=', end - begin) != nullptr) {
      if (!named && !unnamedCounted) {
        unnamedCounted = true;
        ++entries;
      }
      ++entries;
    }
    begin = end + 1;
  }
  return entries;
}

}  // namespace bench
