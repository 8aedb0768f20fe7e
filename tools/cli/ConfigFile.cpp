#include "tools/cli/ConfigFile.h"

#include <sstream>

#include "tools/cli/LocalFile.h"

namespace proxycli {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string Unquoted(const std::string& text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// Splits a value into its pieces. Outside quotes, ',' and blanks separate
// pieces, ';' starts a comment anywhere and '#' at the start or after a
// blank; inside "..." or '...' every byte is kept. False when a quote is
// left open.
bool SplitValue(const std::string& text, std::vector<std::string>* pieces) {
  std::string piece;
  bool inPiece = false;  // so that "" gives an empty piece
  char quote = '\0';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != '\0') {
      if (c == quote) {
        quote = '\0';
      } else {
        piece += c;
      }
      continue;
    }
    if (c == ';' || (c == '#' && (i == 0 || IsBlank(text[i - 1])))) break;
    if (c == '"' || c == '\'') {
      quote = c;
      inPiece = true;
      continue;
    }
    if (c == ',' || IsBlank(c)) {
      if (inPiece) pieces->push_back(piece);
      piece.clear();
      inPiece = false;
      continue;
    }
    piece += c;
    inPiece = true;
  }
  if (quote != '\0') return false;
  if (inPiece) pieces->push_back(piece);
  return true;
}

}  // namespace

ConfigStatus LoadConfigFile(const std::string& path, ConfigValues* values, std::vector<std::string>* ignored,
                            std::string* error) {
  std::string text;
  std::string reason;
  switch (ReadLocalFile(path, kMaxConfigFileBytes, &text, &reason)) {
    case LocalFileStatus::kRead:
      break;
    case LocalFileStatus::kMissing:
      return ConfigStatus::kMissing;
    case LocalFileStatus::kRefused:
    case LocalFileStatus::kUnreadable:
      *error = "cannot read configuration file " + path + ": " + reason;
      return ConfigStatus::kInvalid;
  }
  // Read here rather than by CLI11's INI reader, which cuts a value at ';'
  // even inside quotes: a server list separated by ';' must survive quoted.
  std::istringstream lines(text);
  std::string line;
  std::string section;
  for (int number = 1; std::getline(lines, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Trim(line.substr(1, line.size() - 2));
      if (section == "default") section.clear();
      continue;
    }
    const std::size_t equals = line.find('=');
    std::string key = Unquoted(Trim(line.substr(0, equals)));
    std::vector<std::string> pieces;
    if (equals == std::string::npos) {
      // A bare key, as for a flag: "json" alone means "json = true".
      const std::size_t comment = key.find(';');
      if (comment != std::string::npos) key = Trim(key.substr(0, comment));
      pieces.push_back("true");
    } else {
      std::string value = Trim(line.substr(equals + 1));
      // "[a, b]" lists the pieces as well.
      if (value.size() >= 2 && value.front() == '[' && value.back() == ']') {
        value = value.substr(1, value.size() - 2);
      }
      if (!SplitValue(value, &pieces)) {
        *error = "cannot read configuration file " + path + ": line " + std::to_string(number) +
                 ": a quote is not closed";
        return ConfigStatus::kInvalid;
      }
    }
    if (key.empty()) continue;
    if (!section.empty() || key.find('.') != std::string::npos) {
      ignored->push_back(section.empty() ? key : section + "." + key);
      continue;
    }
    std::vector<std::string>& target = (*values)[key];
    target.insert(target.end(), pieces.begin(), pieces.end());
  }
  return ConfigStatus::kLoaded;
}

}  // namespace proxycli
