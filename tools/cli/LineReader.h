// Line input for the interactive shell: libedit line editing, completion
// and history on a terminal, plain line reading from any other input
// (pipes, files, tests).
#pragma once

#include <cstdio>
#include <deque>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace proxycli {

// The most lines the history keeps, in memory and in its file.
constexpr std::size_t kHistoryLines = 1000;

class LineReader {
 public:
  virtual ~LineReader() = default;
  // Shows `prompt` (when the reader prompts at all) and reads one line
  // without its line end. False at the end of the input.
  virtual bool ReadLine(const std::string& prompt, std::string* line) = 0;
  // Remembers a line for recall; readers without history ignore it.
  virtual void AddHistory(const std::string& /*line*/) {}
  // The words Tab completes at the start of a line.
  virtual void SetCompletions(const std::vector<std::string>& /*words*/) {}
  // Loads the history kept in `path`, which SaveHistory then rewrites. A
  // missing file is an empty history; false with a message for one that
  // cannot be used.
  virtual bool LoadHistory(const std::string& /*path*/, std::string* /*error*/) { return true; }
  virtual bool SaveHistory(std::string* /*error*/) { return true; }
};

// Reads lines from a stream without prompting.
class StreamLineReader : public LineReader {
 public:
  explicit StreamLineReader(std::istream& in) : in_(in) {}
  bool ReadLine(const std::string& prompt, std::string* line) override;

 private:
  std::istream& in_;
};

// libedit over the given files: emacs key bindings, Tab completion of the
// first word, a bounded history.
//
// Ctrl-C (a SIGINT while a StopSignalScope keeps it for line editing, see
// StopSignal.h) abandons the line being edited: ReadLine then answers an
// empty line, and the caller prompts anew. A stop request (SIGTERM, SIGHUP)
// ends the input.
class EditLineReader : public LineReader {
 public:
  EditLineReader(const char* program, FILE* in, FILE* out, FILE* err);
  ~EditLineReader() override;
  EditLineReader(const EditLineReader&) = delete;
  EditLineReader& operator=(const EditLineReader&) = delete;

  bool ReadLine(const std::string& prompt, std::string* line) override;
  void AddHistory(const std::string& line) override;
  void SetCompletions(const std::vector<std::string>& words) override;
  bool LoadHistory(const std::string& path, std::string* error) override;
  bool SaveHistory(std::string* error) override;

  // For libedit's callbacks.
  const std::string& prompt() const { return prompt_; }
  int ReadCharacter(wchar_t* character);
  unsigned char Complete();

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
  FILE* out_;
  int inFd_;
  std::string prompt_;
  bool interrupted_ = false;
  std::string pendingBytes_;  // an incomplete multibyte character
  std::vector<std::string> completions_;
  std::deque<std::string> history_;
  std::string historyPath_;
};

// Splits a line into words the way a shell does for simple commands: blanks
// separate words, single and double quotes group, a backslash escapes the
// next character (libedit's tokenizer). False with a message for an
// unfinished quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace proxycli
