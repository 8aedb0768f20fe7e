// Profile text syntax, line by line (lines end at LF; a CR just before the
// LF belongs to the line end):
//   - blank: empty, or only spaces, tabs and CRs; skipped
//   - comment: first byte ";" or "#"; skipped
//   - header: first byte "["; the name is everything between that "[" and
//     the last "]" of the line; a "[" line without "]" is malformed
//   - item: key up to the first "=", value after it; both byte for byte
//     (keys are not trimmed either: " a" and "a" are different keys)
//   - anything else is malformed and fails the whole load.
// Items before the first header form the unnamed section, which exists only
// when there are such items. Repeated headers give separate sections, in
// text order.
#include <cstddef>
#include <string>
#include <utility>

#include "hostlib/quillon.h"

namespace {

// A cipher block's worth of zero fill (at most 15 bytes) may follow the text.
constexpr std::size_t kMaxZeroFill = 15;

bool IsBlank(const std::string& text, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r') return false;
  }
  return true;
}

// Parses the first `size` bytes of `text` (free of zero bytes) into sections.
bool ParseLines(const std::string& text, std::size_t size, CProfileFile::SectionList& sections) {
  std::size_t pos = 0;
  while (pos < size) {
    std::size_t lineEnd = text.find('\n', pos);
    std::size_t next;
    if (lineEnd == std::string::npos || lineEnd >= size) {
      lineEnd = size;
      next = size;
    } else {
      next = lineEnd + 1;
      if (lineEnd > pos && text[lineEnd - 1] == '\r') --lineEnd;  // CRLF
    }
    const std::size_t begin = pos;
    pos = next;

    if (IsBlank(text, begin, lineEnd)) continue;
    const char first = text[begin];
    if (first == ';' || first == '#') continue;
    if (first == '[') {
      const std::size_t close = text.rfind(']', lineEnd - 1);
      if (close == std::string::npos || close <= begin) return false;
      sections.emplace_back(text.substr(begin + 1, close - begin - 1));
      continue;
    }
    const std::size_t equals = text.find('=', begin);
    if (equals == std::string::npos || equals >= lineEnd) return false;
    if (sections.empty()) sections.emplace_back(std::string());
    sections.back().AddItem(text.substr(begin, equals - begin),
                            text.substr(equals + 1, lineEnd - equals - 1));
  }
  return true;
}

}  // namespace

bool CProfileFile::Load(const std::string& text) {
  sections_.clear();
  std::size_t size = text.size();
  for (std::size_t fill = 0; fill < kMaxZeroFill && size > 0 && text[size - 1] == '\0'; ++fill) {
    --size;
  }
  // Empty content, or a zero byte left anywhere (including a 16th trailing
  // one): not profile text.
  if (size == 0 || text.find('\0') < size) return false;

  SectionList parsed;
  if (!ParseLines(text, size, parsed)) return false;
  sections_ = std::move(parsed);
  return true;
}

const CProfileFile::SectionList& CProfileFile::GetSections() const { return sections_; }
