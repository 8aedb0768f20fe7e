// Builds the plain profile text of a reply: the envelope ("result",
// "errdesc") in the unnamed section, then "[name]" sections of items.
#pragma once

#include <string>

namespace devserver {

class ProfileText {
 public:
  ProfileText(int result, const std::string& errdesc);

  // Appends "key=value" to the section begun last (the unnamed one at first).
  void AddItem(const std::string& key, const std::string& value);
  void AddItem(const std::string& key, long long value);
  void BeginSection(const std::string& name);

  int result() const { return result_; }
  const std::string& text() const { return text_; }

 private:
  int result_;
  std::string text_;
};

// The client parses one item per line and fails the whole reply on a line it
// cannot read, so whatever comes from seeds or requests is flattened first:
// line breaks and zero bytes become spaces in values and section names; in
// keys "=" becomes "_" too, and a leading "[", ";" or "#" (which would read
// as a header or a comment) gets a "_" in front.
std::string FlattenValue(const std::string& value);
std::string FlattenKey(const std::string& key);

}  // namespace devserver
