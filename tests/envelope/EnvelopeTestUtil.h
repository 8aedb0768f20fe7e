// Helpers for the envelope and cache tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "protection/Cipher.h"
#include "transport/HttpCmd.h"

// A command whose reply the test sets, with the parse step exposed.
class ReplyCmd : public CHttpCmd {
 public:
  ReplyCmd() : CHttpCmd("", 80) {}
  explicit ReplyCmd(const std::string& raw) : CHttpCmd("", 80) { reply = raw; }

  int Parse(const std::string& raw) {
    reply = raw;
    return ParseReply();
  }
};

// A private directory under $TMPDIR (or /tmp), removed with its content.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/envelope-test-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(out.good()) << path;
}

// A reply as the service sends unkeyed ones.
inline std::string UnkeyedReply(const std::string& profileText) { return "Z=" + Base64Encode(profileText); }

// Sections flattened to "[name]key=value;..." lines, for comparing parses.
inline std::string Flatten(const CHttpCmd::SectionList& sections) {
  std::string out;
  for (const ProfileSection& section : sections) {
    out += "[" + section.GetSetionName() + "]";
    for (const ProfileItem& item : section.GetItems()) out += item.key + "=" + item.value + ";";
    out += "\n";
  }
  return out;
}
