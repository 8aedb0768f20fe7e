#include "tools/cli/LineReader.h"

#include <histedit.h>

namespace proxycli {

namespace {

constexpr int kHistorySize = 500;

extern "C" char* PromptCallback(EditLine* editLine) {
  void* data = nullptr;
  el_get(editLine, EL_CLIENTDATA, &data);
  static char empty[] = "";
  if (data == nullptr) return empty;
  // libedit only reads the text.
  return const_cast<char*>(static_cast<EditLineReader*>(data)->prompt().c_str());
}

// Owns a libedit tokenizer.
class Tokens {
 public:
  Tokens() : tokenizer_(tok_init(nullptr)) {}
  ~Tokens() {
    if (tokenizer_ != nullptr) tok_end(tokenizer_);
  }
  Tokens(const Tokens&) = delete;
  Tokens& operator=(const Tokens&) = delete;
  Tokenizer* get() const { return tokenizer_; }

 private:
  Tokenizer* tokenizer_;
};

}  // namespace

bool StreamLineReader::ReadLine(const std::string& /*prompt*/, std::string* line) {
  if (!std::getline(in_, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

struct EditLineReader::Handles {
  EditLine* editLine = nullptr;
  History* history = nullptr;
  ~Handles() {
    if (editLine != nullptr) el_end(editLine);
    if (history != nullptr) history_end(history);
  }
};

EditLineReader::EditLineReader(const char* program, FILE* in, FILE* out, FILE* err)
    : handles_(new Handles()) {
  handles_->history = history_init();
  handles_->editLine = el_init(program, in, out, err);
  if (handles_->editLine == nullptr) return;
  HistEvent event;
  if (handles_->history != nullptr) {
    history(handles_->history, &event, H_SETSIZE, kHistorySize);
    history(handles_->history, &event, H_SETUNIQUE, 1);
    el_set(handles_->editLine, EL_HIST, history, handles_->history);
  }
  el_set(handles_->editLine, EL_EDITOR, "emacs");
  el_set(handles_->editLine, EL_CLIENTDATA, static_cast<void*>(this));
  el_set(handles_->editLine, EL_PROMPT, PromptCallback);
}

EditLineReader::~EditLineReader() = default;

bool EditLineReader::ReadLine(const std::string& prompt, std::string* line) {
  if (handles_->editLine == nullptr) return false;
  prompt_ = prompt;
  int count = 0;
  const char* text = el_gets(handles_->editLine, &count);
  if (text == nullptr || count <= 0) return false;
  line->assign(text, static_cast<std::size_t>(count));
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

void EditLineReader::AddHistory(const std::string& line) {
  if (handles_->history == nullptr || line.empty()) return;
  HistEvent event;
  history(handles_->history, &event, H_ENTER, line.c_str());
}

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  Tokens tokens;
  if (tokens.get() == nullptr) {
    *error = "out of memory";
    return false;
  }
  int argc = 0;
  const char** argv = nullptr;
  const std::string terminated = line + "\n";
  const int status = tok_str(tokens.get(), terminated.c_str(), &argc, &argv);
  if (status != 0) {
    *error = status == 1   ? "unmatched single quote"
             : status == 2 ? "unmatched double quote"
             : status == 3 ? "line ends in a backslash"
                           : "cannot split the line";
    return false;
  }
  for (int i = 0; i < argc; ++i) words->emplace_back(argv[i]);
  return true;
}

}  // namespace proxycli
