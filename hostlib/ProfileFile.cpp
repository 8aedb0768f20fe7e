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
//
// The text is read twice: the first pass checks the syntax and counts the
// sections and the items of each, so nothing is built for text that fails
// or is over the caller's bound, and every list is allocated once at its
// final size.
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

// A cipher block's worth of zero fill (at most 15 bytes) may follow the text.
constexpr std::size_t kMaxZeroFill = 15;

// Lines between two questions to the caller's stop check: a few
// milliseconds of parsing, so a cancel is heard well within 100 ms.
constexpr std::size_t kLinesPerStopCheck = 4096;

using StopCheck = std::function<bool()>;

// Asks `stop` every kLinesPerStopCheck calls.
class StopPoll {
 public:
  explicit StopPoll(const StopCheck& stop) : stop_(stop) {}
  bool Stopped() {
    if (!stop_ || ++lines_ % kLinesPerStopCheck != 0) return false;
    return stop_();
  }

 private:
  const StopCheck& stop_;
  std::size_t lines_ = 0;
};

bool IsBlank(const std::string& text, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r') return false;
  }
  return true;
}

enum class LineKind { kSkip, kHeader, kItem, kMalformed };

struct Line {
  LineKind kind = LineKind::kSkip;
  std::size_t begin = 0;
  std::size_t end = 0;    // the line end, without CR LF
  std::size_t split = 0;  // header: its last "]"; item: its first "="
};

// Walks the first `size` bytes of `text` line by line.
class LineScanner {
 public:
  LineScanner(const std::string& text, std::size_t size) : text_(text), size_(size) {}

  bool Next(Line& line) {
    if (pos_ >= size_) return false;
    std::size_t lineEnd = text_.find('\n', pos_);
    std::size_t next;
    if (lineEnd == std::string::npos || lineEnd >= size_) {
      lineEnd = size_;
      next = size_;
    } else {
      next = lineEnd + 1;
      if (lineEnd > pos_ && text_[lineEnd - 1] == '\r') --lineEnd;  // CRLF
    }
    line.begin = pos_;
    line.end = lineEnd;
    pos_ = next;
    line.kind = Classify(line);
    return true;
  }

 private:
  LineKind Classify(Line& line) const {
    if (IsBlank(text_, line.begin, line.end)) return LineKind::kSkip;
    const char first = text_[line.begin];
    if (first == ';' || first == '#') return LineKind::kSkip;
    if (first == '[') {
      const std::size_t close = text_.rfind(']', line.end - 1);
      if (close == std::string::npos || close <= line.begin) return LineKind::kMalformed;
      line.split = close;
      return LineKind::kHeader;
    }
    const std::size_t equals = text_.find('=', line.begin);
    if (equals == std::string::npos || equals >= line.end) return LineKind::kMalformed;
    line.split = equals;
    return LineKind::kItem;
  }

  const std::string& text_;
  const std::size_t size_;
  std::size_t pos_ = 0;
};

// First pass: the item count of every section in text order. False for
// malformed text and as soon as sections and items together pass
// `maxEntries`.
bool CountEntries(const std::string& text, std::size_t size, std::size_t maxEntries, StopPoll& poll,
                  std::vector<std::size_t>& itemCounts) {
  std::size_t entries = 0;
  LineScanner scanner(text, size);
  Line line;
  while (scanner.Next(line)) {
    if (poll.Stopped()) return false;
    if (line.kind == LineKind::kSkip) continue;
    if (line.kind == LineKind::kMalformed) return false;
    if (line.kind == LineKind::kItem && itemCounts.empty()) {
      itemCounts.push_back(0);  // the unnamed section
      if (++entries > maxEntries) return false;
    }
    if (line.kind == LineKind::kHeader) {
      itemCounts.push_back(0);
    } else {
      ++itemCounts.back();
    }
    if (++entries > maxEntries) return false;
  }
  return true;
}

}  // namespace

bool CProfileFile::Load(const std::string& text) { return Load(text, static_cast<std::size_t>(-1)); }

bool CProfileFile::Load(const std::string& text, std::size_t maxEntries) {
  return Load(text, maxEntries, StopCheck());
}

bool CProfileFile::Load(const std::string& text, std::size_t maxEntries, const StopCheck& stop) {
  sections_.clear();
  sections_.shrink_to_fit();
  std::size_t size = text.size();
  for (std::size_t fill = 0; fill < kMaxZeroFill && size > 0 && text[size - 1] == '\0'; ++fill) {
    --size;
  }
  // Empty content, or a zero byte left anywhere (including a 16th trailing
  // one): not profile text.
  if (size == 0 || text.find('\0') < size) return false;

  StopPoll poll(stop);
  std::vector<std::size_t> itemCounts;
  if (!CountEntries(text, size, maxEntries, poll, itemCounts)) return false;

  SectionList parsed;
  parsed.reserve(itemCounts.size());
  LineScanner scanner(text, size);
  Line line;
  while (scanner.Next(line)) {
    if (poll.Stopped()) return false;
    if (line.kind == LineKind::kHeader) {
      parsed.emplace_back(text.substr(line.begin + 1, line.split - line.begin - 1));
      parsed.back().ReserveItems(itemCounts[parsed.size() - 1]);
    } else if (line.kind == LineKind::kItem) {
      if (parsed.empty()) {
        parsed.emplace_back(std::string());
        parsed.back().ReserveItems(itemCounts[0]);
      }
      parsed.back().AddItem(text.substr(line.begin, line.split - line.begin),
                            text.substr(line.split + 1, line.end - line.split - 1));
    }
  }
  sections_ = std::move(parsed);
  return true;
}

const CProfileFile::SectionList& CProfileFile::GetSections() const { return sections_; }

CProfileFile::SectionList CProfileFile::TakeSections() {
  SectionList taken;
  taken.swap(sections_);
  return taken;
}
