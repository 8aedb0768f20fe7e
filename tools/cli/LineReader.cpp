#include "tools/cli/LineReader.h"

#include <histedit.h>
#include <langinfo.h>
#include <locale.h>
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

// A byte that is no character of the terminal's encoding travels through
// libedit as one of U+DC80..U+DCFF, as Python's "surrogateescape" carries
// it, so that every typed byte comes back as it was: a name or password
// in another encoding than the terminal's is still the user's.
constexpr wchar_t kEscapedBytes = 0xDC00;

wchar_t EscapedByte(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value < 0x80 ? static_cast<wchar_t>(value) : kEscapedBytes + value;
}

// Decodes the first character of `size` bytes in the thread's locale: the
// bytes it took, or 0 when it needs more and `more` may come. A byte that
// starts no character is taken alone, escaped.
std::size_t DecodeFirst(const char* data, std::size_t size, bool more, wchar_t* character) {
  std::mbstate_t state{};
  const std::size_t used = std::mbrtowc(character, data, size, &state);
  if (used == static_cast<std::size_t>(-2) && more && size < MB_LEN_MAX) return 0;
  if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
    *character = EscapedByte(data[0]);
    return 1;
  }
  return used == 0 ? 1 : used;  // 0: the NUL character, one byte
}

std::wstring WideText(const std::string& bytes) {
  std::wstring wide;
  for (std::size_t at = 0; at < bytes.size();) {
    wchar_t character = L'\0';
    at += DecodeFirst(bytes.data() + at, bytes.size() - at, false, &character);
    wide.push_back(character);
  }
  return wide;
}

std::string ByteText(const wchar_t* text, std::size_t count) {
  std::string bytes;
  char buffer[MB_LEN_MAX];
  for (std::size_t i = 0; i < count; ++i) {
    const wchar_t character = text[i];
    if (character >= kEscapedBytes + 0x80 && character <= kEscapedBytes + 0xFF) {
      bytes.push_back(static_cast<char>(character - kEscapedBytes));
      continue;
    }
    std::mbstate_t state{};
    const std::size_t size = std::wcrtomb(buffer, character, &state);
    // Only what libedit made up itself could fail here; it is left out.
    if (size != static_cast<std::size_t>(-1)) bytes.append(buffer, size);
  }
  return bytes;
}

// The terminal's character encoding: LC_CTYPE from the environment, where
// plain "C" (ASCII) is taken as C.UTF-8, as Python does, since a terminal
// set up without a locale (a minimal system's root shell) mostly speaks
// UTF-8 all the same. Zero when none can be had: "C" is used then.
locale_t NewTerminalLocale() {
  const locale_t chosen = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (chosen == static_cast<locale_t>(0) ||
      std::strcmp(::nl_langinfo_l(CODESET, chosen), "ANSI_X3.4-1968") != 0)
    return chosen;
  const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 == static_cast<locale_t>(0)) return chosen;
  ::freelocale(chosen);
  return utf8;
}

// The terminal's encoding for the calling thread while it lives: the
// process's own locale stays "C".
class TerminalEncoding {
 public:
  explicit TerminalEncoding(locale_t terminal)
      : previous_(terminal == static_cast<locale_t>(0) ? static_cast<locale_t>(0) : ::uselocale(terminal)) {}
  ~TerminalEncoding() {
    if (previous_ != static_cast<locale_t>(0)) ::uselocale(previous_);
  }
  TerminalEncoding(const TerminalEncoding&) = delete;
  TerminalEncoding& operator=(const TerminalEncoding&) = delete;

 private:
  locale_t previous_;
};

}  // namespace

bool StreamLineReader::ReadLine(const std::string& /*prompt*/, std::string* line) {
  if (!std::getline(in_, *line)) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

struct EditLineReader::Handles {
  EditLine* editLine = nullptr;
  HistoryW* history = nullptr;
  locale_t terminal = NewTerminalLocale();
  ~Handles() {
    if (editLine != nullptr) el_end(editLine);
    if (history != nullptr) history_wend(history);
    if (terminal != static_cast<locale_t>(0)) ::freelocale(terminal);
  }
};

EditLineReader::EditLineReader(const char* program, FILE* in, FILE* out, FILE* err)
    : handles_(new Handles()), out_(out), inFd_(::fileno(in)) {
  handles_->history = history_winit();
  handles_->editLine = el_init(program, in, out, err);
  if (handles_->editLine == nullptr) return;
  EditLine* editLine = handles_->editLine;
  HistEventW event;
  if (handles_->history != nullptr) {
    history_w(handles_->history, &event, H_SETSIZE, static_cast<int>(kHistoryLines));
    history_w(handles_->history, &event, H_SETUNIQUE, 1);
    el_wset(editLine, EL_HIST, history_w, handles_->history);
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
  // The emacs bindings take U+0080..U+00FF for meta keys: they are typed
  // characters (é is U+00E9), to be inserted as any other.
  for (wchar_t c = 0x80; c <= 0xFF; ++c) {
    const wchar_t key[2] = {c, L'\0'};
    el_wset(editLine, EL_BIND, key, L"ed-insert", nullptr);
  }
}

EditLineReader::~EditLineReader() = default;

bool EditLineReader::ReadLine(const std::string& prompt, std::string* line) {
  if (handles_->editLine == nullptr) return false;
  prompt_ = prompt;
  // A Ctrl-C pressed while a command ran is not meant for the new line.
  TakeInterrupt();
  interrupted_ = false;
  const TerminalEncoding encoding(handles_->terminal);
  int count = 0;
  const wchar_t* text = el_wgets(handles_->editLine, &count);
  // An abandoned line answers an empty one; at the end of the input,
  // whatever is printed next starts on a line of its own, not after "^D".
  if (interrupted_ || text == nullptr || count <= 0) {
    std::fputs("\n", out_);
    std::fflush(out_);
    line->clear();
    return interrupted_;
  }
  *line = ByteText(text, static_cast<std::size_t>(count));
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
  return true;
}

int EditLineReader::ReadCharacter(wchar_t* character) {
  *character = L'\0';
  const int wakeup = SignalWakeupDescriptor();
  for (;;) {
    // What an earlier read left over first, so that no typed byte is lost.
    if (!pendingBytes_.empty()) {
      const std::size_t taken = DecodeFirst(pendingBytes_.data(), pendingBytes_.size(), true, character);
      if (taken != 0) {
        pendingBytes_.erase(0, taken);
        return 1;
      }
    }
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
    if (n == 0) {
      // The input ends inside a character: its bytes, escaped.
      if (pendingBytes_.empty()) return 0;
      pendingBytes_.erase(0, DecodeFirst(pendingBytes_.data(), pendingBytes_.size(), false, character));
      return 1;
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    pendingBytes_.push_back(byte);
  }
}

unsigned char EditLineReader::Complete() {
  const LineInfoW* info = el_wline(handles_->editLine);
  if (info == nullptr) return CC_ERROR;
  std::string before = ByteText(info->buffer, static_cast<std::size_t>(info->cursor - info->buffer));
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
    const TerminalEncoding encoding(handles_->terminal);
    HistEventW event;
    history_w(handles_->history, &event, H_ENTER, WideText(line).c_str());
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
