#include "tools/cli/LineReader.h"

#include <histedit.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <sstream>

#include "tools/cli/LocalFile.h"
#include "tools/cli/StopSignal.h"

namespace proxycli {

namespace {

// A thousand lines of commands fit well within this; anything larger is
// not a history this tool wrote.
constexpr std::size_t kMaxHistoryFileBytes = 1 << 20;

// The constructor sets the client data before it installs any callback.
EditLineReader& ReaderOf(EditLine* editLine) {
  void* data = nullptr;
  el_get(editLine, EL_CLIENTDATA, &data);
  return *static_cast<EditLineReader*>(data);
}

extern "C" char* PromptCallback(EditLine* editLine) {
  // libedit only reads the text.
  return const_cast<char*>(ReaderOf(editLine).prompt().c_str());
}

extern "C" int ReadCharacterCallback(EditLine* editLine, wchar_t* character) {
  return ReaderOf(editLine).ReadCharacter(character);
}

extern "C" unsigned char CompleteCallback(EditLine* editLine, int) { return ReaderOf(editLine).Complete(); }

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

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
    : handles_(new Handles()), out_(out), inFd_(::fileno(in)) {
  handles_->history = history_init();
  handles_->editLine = el_init(program, in, out, err);
  if (handles_->editLine == nullptr) return;
  EditLine* editLine = handles_->editLine;
  HistEvent event;
  if (handles_->history != nullptr) {
    history(handles_->history, &event, H_SETSIZE, static_cast<int>(kHistoryLines));
    history(handles_->history, &event, H_SETUNIQUE, 1);
    el_set(editLine, EL_HIST, history, handles_->history);
  }
  el_set(editLine, EL_EDITOR, "emacs");
  el_set(editLine, EL_CLIENTDATA, static_cast<void*>(this));
  el_set(editLine, EL_PROMPT, PromptCallback);
  // Our own reading, so that Ctrl-C can abandon the line: libedit's own
  // would retry the interrupted read, and its EL_SIGNAL handling re-raises
  // the signal for the whole process group.
  el_set(editLine, EL_GETCFN, ReadCharacterCallback);
  el_set(editLine, EL_ADDFN, "proxyhelper-complete", "Complete a command name", CompleteCallback);
  el_set(editLine, EL_BIND, "^I", "proxyhelper-complete", nullptr);
}

EditLineReader::~EditLineReader() = default;

bool EditLineReader::ReadLine(const std::string& prompt, std::string* line) {
  if (handles_->editLine == nullptr) return false;
  prompt_ = prompt;
  // A Ctrl-C pressed while a command ran is not meant for the new line.
  TakeInterrupt();
  interrupted_ = false;
  int count = 0;
  const char* text = el_gets(handles_->editLine, &count);
  // An abandoned line answers an empty one; at the end of the input,
  // whatever is printed next starts on a line of its own, not after "^D".
  if (interrupted_ || text == nullptr || count <= 0) {
    std::fputs("\n", out_);
    std::fflush(out_);
    line->clear();
    return interrupted_;
  }
  line->assign(text, static_cast<std::size_t>(count));
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

int EditLineReader::ReadCharacter(wchar_t* character) {
  *character = L'\0';
  const int wakeup = SignalWakeupDescriptor();
  for (;;) {
    const bool interrupt = TakeInterrupt();
    if (interrupt) interrupted_ = true;
    if (interrupt || StopRequested()) {
      errno = EINTR;
      return -1;
    }
    pollfd entries[2] = {{inFd_, POLLIN, 0}, {wakeup, POLLIN, 0}};
    if (::poll(entries, wakeup >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (wakeup >= 0 && entries[1].revents != 0) {
      DrainSignalWakeups();
      continue;
    }
    char byte = 0;
    const ssize_t n = ::read(inFd_, &byte, 1);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    pendingBytes_.push_back(byte);
    std::mbstate_t state{};
    wchar_t decoded = L'\0';
    const std::size_t used = std::mbrtowc(&decoded, pendingBytes_.data(), pendingBytes_.size(), &state);
    const bool incomplete = used == static_cast<std::size_t>(-2);
    if (incomplete && pendingBytes_.size() < MB_LEN_MAX) continue;
    // A byte the locale cannot decode stands for itself.
    if (incomplete || used == static_cast<std::size_t>(-1)) decoded = static_cast<unsigned char>(byte);
    pendingBytes_.clear();
    *character = decoded;
    return 1;
  }
}

unsigned char EditLineReader::Complete() {
  const LineInfo* info = el_line(handles_->editLine);
  if (info == nullptr) return CC_ERROR;
  std::string before(info->buffer, info->cursor);
  before.erase(0, before.find_first_not_of(" \t"));
  // Only the command itself is completed.
  if (before.find_first_of(" \t") != std::string::npos) return CC_ERROR;
  // The words are sorted: those that begin with `before` are one run, and
  // what they all begin with is what its first and last share.
  const auto first = std::lower_bound(completions_.begin(), completions_.end(), before);
  auto last = first;
  while (last != completions_.end() && last->compare(0, before.size(), before) == 0) ++last;
  if (first == last) return CC_ERROR;
  const std::string& back = *(last - 1);
  std::string common(first->begin(),
                     std::mismatch(first->begin(), first->end(), back.begin(), back.end()).first);
  if (last - first == 1) common += ' ';
  if (common.size() > before.size()) {
    return el_insertstr(handles_->editLine, common.substr(before.size()).c_str()) == 0 ? CC_REFRESH
                                                                                       : CC_ERROR;
  }
  // Nothing to add: show the candidates under the line.
  std::string list = "\n";
  for (auto match = first; match != last; ++match) list += *match + "  ";
  std::fputs((list + "\n").c_str(), out_);
  return CC_REDISPLAY;
}

void EditLineReader::AddHistory(const std::string& typed) {
  // Completion leaves a blank after the command.
  const std::string line = typed.substr(0, typed.find_last_not_of(" \t") + 1);
  if (line.empty()) return;
  if (handles_->history != nullptr) {
    HistEvent event;
    history(handles_->history, &event, H_ENTER, line.c_str());
  }
  history_.erase(std::remove(history_.begin(), history_.end(), line), history_.end());
  history_.push_back(line);
  while (history_.size() > kHistoryLines) history_.pop_front();
}

void EditLineReader::SetCompletions(const std::vector<std::string>& words) {
  completions_ = words;
  std::sort(completions_.begin(), completions_.end());
}

bool EditLineReader::LoadHistory(const std::string& path, std::string* error) {
  historyPath_ = path;
  std::string text;
  std::string reason;
  const LocalFileStatus status = ReadLocalFile(path, kMaxHistoryFileBytes, &text, &reason);
  if (status == LocalFileStatus::kMissing) return true;
  if (status != LocalFileStatus::kRead) {
    // Not ours to overwrite either.
    historyPath_.clear();
    *error = "history " + path + ": " + reason;
    return false;
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) AddHistory(line);
  return true;
}

bool EditLineReader::SaveHistory(std::string* error) {
  if (historyPath_.empty()) return true;
  std::string text;
  for (const std::string& line : history_) text += line + "\n";
  // Written beside and renamed over, so a crash never leaves half a file,
  // and created 0600: lines may name accounts and servers.
  std::string pattern = historyPath_ + ".tmp-XXXXXX";
  const int fd = ::mkstemp(&pattern[0]);
  if (fd < 0) {
    *error = ErrnoText("cannot create a temporary file beside " + historyPath_);
    return false;
  }
  FILE* file = ::fchmod(fd, 0600) == 0 ? ::fdopen(fd, "w") : nullptr;
  // On the disk before the rename: else a power loss may leave the new name on an empty file.
  const bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                       std::fflush(file) == 0 && ::fsync(fd) == 0;
  const bool closed = file != nullptr ? std::fclose(file) == 0 : ::close(fd) == 0;
  if (!written || !closed || ::rename(pattern.c_str(), historyPath_.c_str()) != 0) {
    *error = ErrnoText("cannot write " + historyPath_);
    ::unlink(pattern.c_str());
    return false;
  }
  return true;
}

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  const std::unique_ptr<Tokenizer, void (*)(Tokenizer*)> tokens(tok_init(nullptr), tok_end);
  if (tokens == nullptr) {
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
