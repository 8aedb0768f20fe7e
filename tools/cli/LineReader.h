// Line input for the interactive shell: libedit line editing and history on
// a terminal, plain line reading from any other input (pipes, files, tests).
#pragma once

#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace proxycli {

class LineReader {
 public:
  virtual ~LineReader() = default;
  // Shows `prompt` (when the reader prompts at all) and reads one line
  // without its line end. False at the end of the input.
  virtual bool ReadLine(const std::string& prompt, std::string* line) = 0;
  // Remembers a line for recall; readers without history ignore it.
  virtual void AddHistory(const std::string& /*line*/) {}
};

// Reads lines from a stream without prompting.
class StreamLineReader : public LineReader {
 public:
  explicit StreamLineReader(std::istream& in) : in_(in) {}
  bool ReadLine(const std::string& prompt, std::string* line) override;

 private:
  std::istream& in_;
};

// libedit over the given files: emacs key bindings, in-memory history.
class EditLineReader : public LineReader {
 public:
  EditLineReader(const char* program, FILE* in, FILE* out, FILE* err);
  ~EditLineReader() override;
  EditLineReader(const EditLineReader&) = delete;
  EditLineReader& operator=(const EditLineReader&) = delete;

  bool ReadLine(const std::string& prompt, std::string* line) override;
  void AddHistory(const std::string& line) override;

  // Read by libedit's prompt callback.
  const std::string& prompt() const { return prompt_; }

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
  std::string prompt_;
};

// Splits a line into words the way a shell does for simple commands: blanks
// separate words, single and double quotes group, a backslash escapes the
// next character (libedit's tokenizer). False with a message for an
// unfinished quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace proxycli
