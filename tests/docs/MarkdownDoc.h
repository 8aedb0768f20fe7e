// Reading the checked parts of the Markdown documentation: worked examples,
// marked tables, headings and links. Only the subset of Markdown that the
// pages use is understood; anything else is plain text.
#pragma once

#include <string>
#include <vector>

namespace docs {

// The repository root: $PROXYHELPER_SOURCE_DIR (ctest sets it), otherwise
// two levels above this source file.
std::string SourceRoot();

// The whole file, or an empty text when it cannot be read (`ok` false).
std::string ReadFile(const std::string& path, bool* ok = nullptr);

// One fenced block: "```<notation> <role>" ... "```".
struct FencedBlock {
  std::string notation;  // first word of the info string ("text", "hex", ...)
  std::string role;      // second word, empty when there is none
  std::vector<std::string> lines;
  int firstLine = 0;  // 1-based line of the opening fence
};

// "<!-- example: NAME -->" and the fenced blocks after it, up to the next
// example marker or heading.
struct Example {
  std::string name;
  int line = 0;
  std::vector<FencedBlock> blocks;

  // The block with that role; null when there is none.
  const FencedBlock* Find(const std::string& role) const;
};

std::vector<Example> ParseExamples(const std::string& markdown);

// The bytes a block stands for: "text" its lines joined by LF, "ini" every
// line followed by LF, "hex" the hex pairs. Sets `error` (and returns an
// empty text) for another notation or malformed hex.
std::string BlockBytes(const FencedBlock& block, std::string* error);

// The rows of the table that follows "<!-- table: NAME -->", header and
// separator row left out; each row as its trimmed cells.
std::vector<std::vector<std::string>> ParseMarkedTable(const std::string& markdown, const std::string& name);

// Headings outside fenced blocks, in order, without their "#" marks.
struct Heading {
  int level = 0;
  std::string text;
};
std::vector<Heading> ParseHeadings(const std::string& markdown);

// The anchor a heading gets on the usual Markdown hosts: lower case, spaces
// to "-", punctuation other than "-" and "_" dropped.
std::string HeadingAnchor(const std::string& heading);

// Targets of inline links "[text](target)" outside fenced blocks and code
// spans.
std::vector<std::string> ParseLinkTargets(const std::string& markdown);

// Every fenced block whose notation is `notation`.
std::vector<FencedBlock> BlocksWithNotation(const std::string& markdown, const std::string& notation);

}  // namespace docs
