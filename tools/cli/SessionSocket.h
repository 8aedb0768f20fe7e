// The local socket through which a running `connect` lends its session to
// the other subcommands of the same user, for the same servers and account:
// where it lives, who may use it, and one bounded line each way.
//
// The socket is "<runtime>/proxyhelper/connect-<hash>.sock", <runtime> being
// $XDG_RUNTIME_DIR, else /run/user/<uid>; <hash> is taken over the canonical
// server list and the user name, so connects for different accounts never
// meet and every spelling of the same servers finds the same connect.
// The directory must be the user's own and closed to everyone else (0700),
// the socket is 0600, and each end checks the other's uid.
#pragma once

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tools/cli/OwnedDescriptor.h"

namespace proxycli {

using SteadyClock = std::chrono::steady_clock;

// Bounds of the exchange: a request is one short line read within a few
// seconds; an answer may carry a whole catalogue and waits for operations
// that are themselves bounded by the library's deadline (two of them for a
// disconnect: the release and the sign-out).
constexpr std::size_t kMaxRequestBytes = 4096;
constexpr std::size_t kMaxAnswerBytes = 256u << 20;
constexpr std::chrono::seconds kRequestReadTimeout(2);
constexpr std::chrono::seconds kAnswerWriteTimeout(10);
constexpr std::chrono::seconds kAnswerTimeout(300);
// `status` asks a connect that answers at once; a listing asks each in turn.
constexpr std::chrono::seconds kStatusTimeout(10);
// How long a client waits for a connect that lost its lease to lease again.
constexpr std::chrono::seconds kRecoveryWait(30);
// Connections served at once; more wait in the listen backlog.
constexpr std::size_t kMaxSessionConnections = 128;
// Operations waiting for their turn; more are told to ask again.
constexpr std::size_t kMaxQueuedOperations = 32;
// Running connects one `status` lists.
constexpr std::size_t kMaxListedConnects = 256;

// The server list as the library reads it, one spelling per set of servers:
// entries split where CLoginServers::Parse splits them, unusable ones
// dropped, at most the library's 64, then each rendered as
// "scheme://host:port" (host in lower case, the scheme's default port made
// explicit, IPv6 literals in brackets, "http" taken as "https" where the
// list names the same address with "https"), sorted, duplicates dropped,
// joined by ";". Empty when no entry is usable.
std::string CanonicalServerList(const std::string& servers);
// One server as "scheme://host:port", an IPv6 literal in brackets.
std::string ServerAddress(const std::string& host, int port, bool secure);

struct SessionSocketPlace {
  enum class Kind {
    kUsable,
    kUnavailable,  // no runtime directory (or no usable path in it): no socket at all
    kUnsafe,       // the directory is not the user's own, or others may enter it
  };
  Kind kind = Kind::kUnavailable;
  std::string directory;   // <runtime>/proxyhelper
  std::string servers;     // CanonicalServerList of the servers asked for
  std::string socketPath;  // <directory>/connect-<hash>.sock
  std::string lockPath;    // <directory>/connect-<hash>.lock, held by the connect that owns the socket
  std::string problem;     // kUnavailable and kUnsafe: why, for a message
};

// Where the socket for `servers` and `user` belongs. `create` makes the
// directory when it is missing (connect does; the other subcommands only
// look, and a missing directory means no connect is running).
SessionSocketPlace LocateSessionSocket(const std::string& servers, const std::string& user, bool create);

// The sockets of every connect this user may be running, in name order, at
// most kMaxListedConnects (stale ones included: dialling tells). Empty when
// there is no directory; `problem` says why when it is there but unsafe or
// unreadable.
std::vector<std::string> ListSessionSockets(std::string* problem);

// Connect's end: the lock that makes it the only connect for this place, and
// the listening socket, which it replaces when a stale one is left over.
class SessionListener {
 public:
  enum class Status {
    kListening,
    kBusy,    // another connect for the same servers and account holds the lock
    kFailed,  // `error` says why
  };
  SessionListener() = default;
  ~SessionListener() { Close(); }
  SessionListener(const SessionListener&) = delete;
  SessionListener& operator=(const SessionListener&) = delete;

  Status Open(const SessionSocketPlace& place, std::string* error);
  int fd() const { return socket_.get(); }
  const std::string& path() const { return path_; }
  // A waiting connection of the same user, non-blocking; an invalid one
  // when there is none or it came from someone else (it is dropped then).
  OwnedDescriptor Accept();
  // Removes the socket first, so nobody new reaches a connect that is
  // leaving, then lets go of the lock.
  void Close();

 private:
  OwnedDescriptor lock_;
  OwnedDescriptor socket_;
  std::string path_;
};

// A subcommand's end: kNobody when no connect listens there (no file, or a
// stale one).
enum class DialStatus { kConnected, kNobody, kFailed };
DialStatus DialSessionSocket(const std::string& path, OwnedDescriptor* socket, std::string* error);

// The service's texts are 8-bit and need not be UTF-8, which JSON strings
// must be: each byte travels as the code point of the same value.
std::string BytesAsJsonText(const std::string& bytes);
// The bytes back; false when `text` holds a code point above U+00FF.
bool BytesFromJsonText(const std::string& text, std::string* bytes);
// The string under `key`; null when `object` is no object or that is no string.
const std::string* StringField(const nlohmann::json& object, const char* key);

// One line, without its '\n', from a non-blocking descriptor.
enum class LineStatus {
  kLine,
  kClosed,   // the other end closed before a whole line came
  kTooLong,  // more than `maxBytes` without a line end
  kTimeout,
  kFailed,
};
LineStatus ReadLineBefore(int fd, std::size_t maxBytes, SteadyClock::time_point deadline, std::string* line);
// All of `bytes` to a non-blocking descriptor; never raises SIGPIPE.
bool WriteAllBefore(int fd, const std::string& bytes, SteadyClock::time_point deadline);
// What the descriptor takes now of `bytes` past `*done`, which it advances;
// false when the other end is gone or the send failed.
bool SendWhatFits(int fd, const std::string& bytes, std::size_t* done);

// Line after line from a non-blocking descriptor that it owns: what one
// read brings past a line end is kept for the next line.
class LineChannel {
 public:
  explicit LineChannel(OwnedDescriptor fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }
  // The descriptor, given up; what was read past a line end stays behind.
  OwnedDescriptor Release() { return std::move(fd_); }
  // The next line, without its '\n'; kTooLong when it exceeds `maxBytes`.
  LineStatus Next(std::size_t maxBytes, SteadyClock::time_point deadline, std::string* line);

 private:
  OwnedDescriptor fd_;
  std::string buffer_;
  std::size_t start_ = 0;  // where the unread part of buffer_ begins
};

}  // namespace proxycli
