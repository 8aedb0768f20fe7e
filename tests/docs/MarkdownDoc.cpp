#include "docs/MarkdownDoc.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace docs {

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t";
  const std::size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return std::string();
  const std::size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsFence(const std::string& line) { return StartsWith(line, "```"); }

// "<!-- NAME: VALUE -->" gives VALUE for that NAME, otherwise empty.
std::string MarkerValue(const std::string& line, const std::string& name) {
  const std::string trimmed = Trim(line);
  const std::string open = "<!-- " + name + ":";
  const std::string close = "-->";
  if (!StartsWith(trimmed, open) || trimmed.size() < open.size() + close.size() ||
      trimmed.compare(trimmed.size() - close.size(), close.size(), close) != 0) {
    return std::string();
  }
  return Trim(trimmed.substr(open.size(), trimmed.size() - open.size() - close.size()));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Walks the lines, handing fenced blocks and the plain lines between them to
// the callbacks.
template <typename OnPlain, typename OnBlock>
void Walk(const std::string& markdown, OnPlain onPlain, OnBlock onBlock) {
  const std::vector<std::string> lines = SplitLines(markdown);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!IsFence(lines[i])) {
      onPlain(lines[i], static_cast<int>(i + 1));
      continue;
    }
    FencedBlock block;
    block.firstLine = static_cast<int>(i + 1);
    std::istringstream info(lines[i].substr(3));
    info >> block.notation >> block.role;
    std::size_t j = i + 1;
    for (; j < lines.size() && !IsFence(lines[j]); ++j) block.lines.push_back(lines[j]);
    onBlock(block);
    i = j;  // the closing fence (or the end of an unclosed block)
  }
}

}  // namespace

std::string SourceRoot() {
  const char* fromEnvironment = std::getenv("PROXYHELPER_SOURCE_DIR");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  std::string here = __FILE__;  // <root>/tests/docs/MarkdownDoc.cpp
  for (int up = 0; up < 3; ++up) {
    const std::size_t slash = here.rfind('/');
    if (slash == std::string::npos) return ".";
    here.resize(slash);
  }
  return here;
}

std::string ReadFile(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  if (ok != nullptr) *ok = static_cast<bool>(in);
  if (!in) return std::string();
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

const FencedBlock* Example::Find(const std::string& role) const {
  for (const FencedBlock& block : blocks) {
    if (block.role == role) return &block;
  }
  return nullptr;
}

std::vector<Example> ParseExamples(const std::string& markdown) {
  std::vector<Example> examples;
  bool open = false;
  Walk(
      markdown,
      [&](const std::string& line, int number) {
        const std::string name = MarkerValue(line, "example");
        if (!name.empty()) {
          examples.push_back(Example{name, number, {}});
          open = true;
        } else if (StartsWith(line, "#")) {
          open = false;
        }
      },
      [&](const FencedBlock& block) {
        if (open) examples.back().blocks.push_back(block);
      });
  return examples;
}

std::string BlockBytes(const FencedBlock& block, std::string* error) {
  std::string bytes;
  if (block.notation == "text") {
    for (std::size_t i = 0; i < block.lines.size(); ++i) {
      if (i != 0) bytes.push_back('\n');
      bytes += block.lines[i];
    }
    return bytes;
  }
  if (block.notation == "ini") {
    for (const std::string& line : block.lines) bytes += line + "\n";
    return bytes;
  }
  if (block.notation == "hex") {
    for (const std::string& line : block.lines) {
      std::istringstream pairs(line);
      std::string pair;
      while (pairs >> pair) {
        if (pair.size() != 2 || HexValue(pair[0]) < 0 || HexValue(pair[1]) < 0) {
          *error = "bad hex pair '" + pair + "' in the block at line " + std::to_string(block.firstLine);
          return std::string();
        }
        bytes.push_back(static_cast<char>(HexValue(pair[0]) * 16 + HexValue(pair[1])));
      }
    }
    return bytes;
  }
  *error = "unknown notation '" + block.notation + "' at line " + std::to_string(block.firstLine);
  return std::string();
}

std::vector<std::vector<std::string>> ParseMarkedTable(const std::string& markdown, const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  enum class State { kSearching, kHeader, kSeparator, kRows, kDone } state = State::kSearching;
  Walk(
      markdown,
      [&](const std::string& line, int) {
        const std::string trimmed = Trim(line);
        switch (state) {
          case State::kSearching:
            if (MarkerValue(trimmed, "table") == name) state = State::kHeader;
            return;
          case State::kHeader:
            if (StartsWith(trimmed, "|")) state = State::kSeparator;
            return;
          case State::kSeparator:
            state = State::kRows;
            return;
          case State::kRows: {
            if (!StartsWith(trimmed, "|")) {
              state = State::kDone;
              return;
            }
            std::vector<std::string> cells;
            std::string inner = trimmed.substr(1);
            if (!inner.empty() && inner.back() == '|') inner.pop_back();
            std::size_t begin = 0;
            while (begin <= inner.size()) {
              std::size_t bar = inner.find('|', begin);
              if (bar == std::string::npos) bar = inner.size();
              cells.push_back(Trim(inner.substr(begin, bar - begin)));
              begin = bar + 1;
            }
            rows.push_back(cells);
            return;
          }
          case State::kDone:
            return;
        }
      },
      [&](const FencedBlock&) {
        if (state == State::kRows) state = State::kDone;
      });
  return rows;
}

std::vector<Heading> ParseHeadings(const std::string& markdown) {
  std::vector<Heading> headings;
  Walk(
      markdown,
      [&](const std::string& line, int) {
        std::size_t level = 0;
        while (level < line.size() && line[level] == '#') ++level;
        if (level == 0 || level > 6 || level >= line.size() || line[level] != ' ') return;
        headings.push_back(Heading{static_cast<int>(level), Trim(line.substr(level + 1))});
      },
      [](const FencedBlock&) {});
  return headings;
}

std::string HeadingAnchor(const std::string& heading) {
  std::string anchor;
  for (char c : heading) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) {
      anchor.push_back(static_cast<char>(std::tolower(u)));
    } else if (c == ' ') {
      anchor.push_back('-');
    } else if (c == '-' || c == '_') {
      anchor.push_back(c);
    }
  }
  return anchor;
}

std::vector<std::string> ParseLinkTargets(const std::string& markdown) {
  std::vector<std::string> targets;
  Walk(
      markdown,
      [&](const std::string& line, int) {
        bool inCode = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
          if (line[i] == '`') {
            inCode = !inCode;
            continue;
          }
          if (inCode || line[i] != ']' || i + 1 >= line.size() || line[i + 1] != '(') continue;
          const std::size_t close = line.find(')', i + 2);
          if (close == std::string::npos) continue;
          targets.push_back(line.substr(i + 2, close - i - 2));
          i = close;
        }
      },
      [](const FencedBlock&) {});
  return targets;
}

std::vector<FencedBlock> BlocksWithNotation(const std::string& markdown, const std::string& notation) {
  std::vector<FencedBlock> blocks;
  Walk(
      markdown, [](const std::string&, int) {},
      [&](const FencedBlock& block) {
        if (block.notation == notation) blocks.push_back(block);
      });
  return blocks;
}

}  // namespace docs
