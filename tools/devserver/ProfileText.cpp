#include "tools/devserver/ProfileText.h"

namespace devserver {

namespace {

bool BreaksLine(char c) { return c == '\n' || c == '\r' || c == '\0'; }

}  // namespace

std::string FlattenValue(const std::string& value) {
  std::string flat = value;
  for (char& c : flat) {
    if (BreaksLine(c)) c = ' ';
  }
  return flat;
}

std::string FlattenKey(const std::string& key) {
  std::string flat = key;
  for (char& c : flat) {
    if (BreaksLine(c) || c == '=') c = '_';
  }
  if (flat.empty() || flat[0] == '[' || flat[0] == ';' || flat[0] == '#' || flat[0] == ' ' ||
      flat[0] == '\t') {
    flat.insert(flat.begin(), '_');
  }
  return flat;
}

ProfileText::ProfileText(int result, const std::string& errdesc) : result_(result) {
  AddItem("result", result);
  AddItem("errdesc", errdesc);
}

void ProfileText::AddItem(const std::string& key, const std::string& value) {
  text_ += FlattenKey(key);
  text_ += '=';
  text_ += FlattenValue(value);
  text_ += '\n';
}

void ProfileText::AddItem(const std::string& key, long long value) { AddItem(key, std::to_string(value)); }

void ProfileText::BeginSection(const std::string& name) {
  text_ += '[';
  text_ += FlattenValue(name);
  text_ += "]\n";
}

}  // namespace devserver
