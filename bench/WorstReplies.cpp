#include "bench/WorstReplies.h"

#include <cstring>

#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "protocol/Vocabulary.h"
#include "tools/devserver/Compression.h"

namespace bench {
namespace {

// A little under the output bound, so that no reading of "at most" can turn
// a reply meant to be accepted into one that is refused.
constexpr std::size_t kTextBytes = kMaxDecodedBytes - 1024;
// The envelope: the unnamed section and its one item.
constexpr char kEnvelope[] = "result=0\n";
constexpr std::size_t kEnvelopeEntries = 2;
// With one named section, the items take every entry left.
constexpr std::size_t kItemsOfOneSection = kMaxReplyEntries - kEnvelopeEntries - 1;
constexpr std::size_t kOneItemSections = (kMaxReplyEntries - kEnvelopeEntries) / 2;

// "A=" + Base64(Twofish(protocol::kCompressedMarker + bzip2(text) + fill)): the fill after the
// end of the stream is ignored by the client, but it arrives, is decoded
// and is decrypted like the rest, so the body is as large as allowed.
std::string Framed(const std::string& text) {
  std::string packed;
  if (!devserver::Bzip2Compress(text, &packed)) return std::string();
  std::string payload = protocol::kCompressedMarker + packed;
  // 48-byte steps: whole cipher blocks and whole Base64 groups.
  constexpr std::size_t kPayloadBytes = (kMaxWireBytes - 1024 - 2) / 4 * 3 / 48 * 48;
  if (payload.size() < kPayloadBytes) payload.resize(kPayloadBytes, '\0');
  return "A=" + Base64Encode(TwofishEncrypt(DeriveKey(BenchKeys().m1), payload));
}

// Empty items ("=") up to the output bound: over 33 million entries in a
// body that is small before the fill.
std::string EmptyItemsOverBound() {
  std::string text = std::string(kEnvelope) + "[g]\n";
  text.reserve(kTextBytes);
  while (text.size() + 2 <= kTextBytes) text += "=\n";
  return text;
}

// One-item sections of distinct groups, the names as long as the text
// allows: every section becomes a group of its own, and the name is held
// twice (section and map key) while the catalogue is filled.
std::string DistinctOneItemSections() {
  std::string text(kEnvelope);
  const std::size_t nameLength = (kTextBytes - text.size()) / kOneItemSections - std::strlen("[]\n=\n");
  text.reserve(kTextBytes);
  for (std::size_t i = 0; i < kOneItemSections; ++i) {
    const std::string number = std::to_string(i);
    text += '[';
    text.append(nameLength - number.size(), 'g');
    text += number;
    text += "]\n=\n";
  }
  return text;
}

// One section of items, keys from `numberedKeys` (1, 2, ...) or empty; with
// `fill`, the values share out whatever text is left, else they are empty.
std::string OneSectionOfItems(const std::string& section, std::size_t items, bool numberedKeys, bool fill) {
  std::string text = std::string(kEnvelope) + "[" + section + "]\n";
  std::size_t keyBytes = 0;
  if (numberedKeys) {
    for (std::size_t i = 1; i <= items; ++i) keyBytes += std::to_string(i).size();
  }
  const std::size_t valueLength = fill ? (kTextBytes - text.size() - keyBytes - 2 * items) / items : 0;
  const std::string value(valueLength, 'v');
  text.reserve(kTextBytes);
  for (std::size_t i = 1; i <= items; ++i) {
    if (numberedKeys) text += std::to_string(i);
    text += '=';
    text += value;
    text += '\n';
  }
  return text;
}

}  // namespace

const std::vector<WorstReply>& WorstReplies() {
  static const std::vector<WorstReply>* replies = new std::vector<WorstReply>{
      {"over_bound_empty_items", "  GetVpnServers, 33.5M empty items (over the entry bound)",
       ReplyOperation::kGetVpnServers, true, 0, [] { return Framed(EmptyItemsOverBound()); }},
      {"distinct_sections", "  GetVpnServers, 999,999 one-item sections, distinct 62-byte names",
       ReplyOperation::kGetVpnServers, false, kOneItemSections,
       [] { return Framed(DistinctOneItemSections()); }},
      {"empty_items", "  GetVpnServers, 1,999,997 empty items in one section", ReplyOperation::kGetVpnServers,
       false, kItemsOfOneSection,
       [] { return Framed(OneSectionOfItems("g", kItemsOfOneSection, false, false)); }},
      {"long_values", "  GetVpnServers, 1,999,997 items, values filling 64 MiB",
       ReplyOperation::kGetVpnServers, false, kItemsOfOneSection,
       [] { return Framed(OneSectionOfItems("g", kItemsOfOneSection, false, true)); }},
      {"online_ratios", "  GetOnlineRatio, 1,999,997 items, values filling 64 MiB",
       ReplyOperation::kGetOnlineRatio, false, kItemsOfOneSection,
       [] { return Framed(OneSectionOfItems("ratio", kItemsOfOneSection, false, true)); }},
      // Last: the client keeps the server configuration record for good.
      {"server_levels", "  GetUserInfo, [serverlevel] of 1,999,997 distinct levels",
       ReplyOperation::kGetUserInfo, false, kItemsOfOneSection,
       [] { return Framed(OneSectionOfItems("serverlevel", kItemsOfOneSection, true, true)); }},
  };
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
