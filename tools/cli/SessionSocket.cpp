#include "tools/cli/SessionSocket.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "hostlib/quillon.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// FNV-1a: short, stable across builds and platforms, and enough to keep
// apart the few accounts one user runs.
std::string ShortHash(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const unsigned char byte : text) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016" PRIx64, hash);
  return hex;
}

std::string RuntimeDirectory(std::string* problem) {
  const char* value = std::getenv("XDG_RUNTIME_DIR");
  // Relative values are invalid by the convention.
  if (value != nullptr && value[0] == '/') return value;
  const std::string fallback = "/run/user/" + std::to_string(::getuid());
  struct stat info;
  if (::stat(fallback.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return fallback;
  *problem = "$XDG_RUNTIME_DIR is not set and there is no " + fallback;
  return std::string();
}

// Waits for `events` on `fd` until the deadline, in polls of at most a
// minute; false on time-out or error.
bool WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0 && SteadyClock::now() >= deadline) return false;
  }
}

bool FitsAnAddress(const std::string& path) { return path.size() < sizeof(sockaddr_un::sun_path); }

// The address of the socket at `path`, which FitsAnAddress.
sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// The uid at the other end of a connected local socket is this process's.
bool PeerIsSameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
         peer.uid == ::getuid();
}

// <runtime>/proxyhelper, checked: kUsable when it is the user's own and
// closed to everyone else.
SessionSocketPlace LocateDirectory(bool create) {
  SessionSocketPlace place;
  const std::string runtime = RuntimeDirectory(&place.problem);
  if (runtime.empty()) return place;
  place.directory = runtime + (runtime.back() == '/' ? "" : "/") + "proxyhelper";
  if (create && ::mkdir(place.directory.c_str(), 0700) != 0 && errno != EEXIST) {
    place.problem = ErrnoText("cannot create " + place.directory);
    return place;
  }
  struct stat info;
  if (::lstat(place.directory.c_str(), &info) != 0) {
    place.problem = ErrnoText(place.directory);
    return place;
  }
  // Whoever else could enter the directory could put their own socket where
  // the subcommands look for connect's, or reach connect's.
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  if (!S_ISDIR(info.st_mode)) {
    place.problem = place.directory + " is not a directory";
  } else if (info.st_uid != ::getuid()) {
    place.problem = place.directory + " belongs to uid " + std::to_string(info.st_uid) +
                    ", not to you (uid " + std::to_string(::getuid()) + ")";
  } else if ((info.st_mode & 077) != 0) {
    place.problem = place.directory + " is open to other users (mode " + mode +
                    "); make it private with: chmod 700 " + place.directory;
  }
  place.kind = place.problem.empty() ? SessionSocketPlace::Kind::kUsable : SessionSocketPlace::Kind::kUnsafe;
  return place;
}

// The next line from `fd`, taken from `*buffer` past `*start` first: what
// one read brings past a line end stays there for the next line.
LineStatus NextLine(int fd, std::string* buffer, std::size_t* start, std::size_t maxBytes,
                    SteadyClock::time_point deadline, std::string* line) {
  line->clear();
  // Where the search for the line end resumes: bytes already searched are
  // not searched again, so a long line costs one pass.
  std::size_t searched = *start;
  for (;;) {
    const std::size_t end = buffer->find('\n', searched);
    if (end != std::string::npos) {
      if (end - *start > maxBytes) return LineStatus::kTooLong;
      line->assign(*buffer, *start, end - *start);
      *start = end + 1;
      return LineStatus::kLine;
    }
    if (buffer->size() - *start > maxBytes) return LineStatus::kTooLong;
    // What was taken is dropped before reading more, so the buffer holds at
    // most one line and one read.
    buffer->erase(0, *start);
    *start = 0;
    searched = buffer->size();
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer->append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return LineStatus::kClosed;
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return LineStatus::kClosed;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return LineStatus::kFailed;
    if (!WaitFor(fd, POLLIN, deadline)) return LineStatus::kTimeout;
  }
}

}  // namespace

std::string ServerAddress(const std::string& host, int port, bool secure) {
  return (secure ? "https://" : "http://") + HostPort(host, port);
}

std::string CanonicalServerList(const std::string& servers) {
  // The library's own reading of the list, so that every spelling it takes
  // for the same servers gives the same key.
  std::vector<std::string> rendered;
  for (const CLoginServers::Server& entry : CLoginServers::Entries(servers)) {
    std::string host = entry.host;
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    rendered.push_back(ServerAddress(host, entry.port, entry.secure));
  }
  std::sort(rendered.begin(), rendered.end());
  rendered.erase(std::unique(rendered.begin(), rendered.end()), rendered.end());
  std::string canonical;
  for (const std::string& entry : rendered) canonical += (canonical.empty() ? "" : ";") + entry;
  return canonical;
}

SessionSocketPlace LocateSessionSocket(const std::string& servers, const std::string& user, bool create) {
  SessionSocketPlace place = LocateDirectory(create);
  place.servers = CanonicalServerList(servers);
  if (place.directory.empty()) return place;
  const std::string stem = place.directory + "/connect-" + ShortHash(place.servers + "|" + user);
  place.socketPath = stem + ".sock";
  place.lockPath = stem + ".lock";
  if (place.kind == SessionSocketPlace::Kind::kUsable && !FitsAnAddress(place.socketPath)) {
    place.kind = SessionSocketPlace::Kind::kUnavailable;
    place.problem = "the socket path " + place.socketPath + " is too long for a local socket";
  }
  return place;
}

std::vector<std::string> ListSessionSockets(std::string* problem) {
  std::vector<std::string> sockets;
  const SessionSocketPlace place = LocateDirectory(/*create=*/false);
  if (place.kind == SessionSocketPlace::Kind::kUnsafe) *problem = place.problem;
  if (place.kind != SessionSocketPlace::Kind::kUsable) return sockets;
  DIR* directory = ::opendir(place.directory.c_str());
  if (directory == nullptr) {
    *problem = ErrnoText(place.directory);
    return sockets;
  }
  // Bounded: a directory stuffed with names cannot hold `status` for long.
  const std::string prefix = "connect-";
  const std::string suffix = ".sock";
  std::size_t seen = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (++seen > 16 * kMaxListedConnects) break;
    const std::string name = entry->d_name;
    if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      sockets.push_back(place.directory + "/" + name);
    }
  }
  ::closedir(directory);
  std::sort(sockets.begin(), sockets.end());
  if (sockets.size() > kMaxListedConnects) sockets.resize(kMaxListedConnects);
  return sockets;
}

SessionListener::Status SessionListener::Open(const SessionSocketPlace& place, std::string* error) {
  Close();
  // Lets go of whatever was taken; `message` is made while errno still holds.
  auto fail = [&](std::string message, Status status = Status::kFailed) {
    *error = std::move(message);
    Close();
    return status;
  };
  lock_.Reset(::open(place.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!lock_.valid()) return fail(ErrnoText("cannot open " + place.lockPath));
  if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return fail("another connect holds " + place.lockPath, Status::kBusy);
    return fail(ErrnoText("cannot lock " + place.lockPath));
  }
  // Holding the lock, whatever socket is there was left by a connect that
  // ended without removing it.
  struct stat info;
  if (::lstat(place.socketPath.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) return fail(place.socketPath + " exists and is not a socket");
    if (::unlink(place.socketPath.c_str()) != 0 && errno != ENOENT)
      return fail(ErrnoText("cannot replace the stale " + place.socketPath));
  }
  const sockaddr_un address = AddressOf(place.socketPath);
  socket_.Reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket_.valid() ||
      ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail(ErrnoText("cannot create the socket " + place.socketPath));
  }
  path_ = place.socketPath;
  // The directory is already closed to others; the mode says so once more.
  if (::chmod(path_.c_str(), 0600) != 0 || ::listen(socket_.get(), 64) != 0)
    return fail(ErrnoText("cannot listen on " + path_));
  return Status::kListening;
}

OwnedDescriptor SessionListener::Accept() {
  OwnedDescriptor connection(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (connection.valid() && !PeerIsSameUser(connection.get())) connection.Reset();
  return connection;
}

void SessionListener::Close() {
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
  socket_.Reset();
  lock_.Reset();
}

DialStatus DialSessionSocket(const std::string& path, OwnedDescriptor* socket, std::string* error) {
  if (!FitsAnAddress(path)) return DialStatus::kNobody;
  const sockaddr_un address = AddressOf(path);
  OwnedDescriptor connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!connection.valid()) {
    *error = ErrnoText("cannot create a local socket");
    return DialStatus::kFailed;
  }
  // A full backlog answers EAGAIN rather than waiting; try for a while.
  const auto deadline = SteadyClock::now() + kRequestReadTimeout;
  while (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) return DialStatus::kNobody;
    if ((errno != EAGAIN && errno != EINTR) || SteadyClock::now() >= deadline) {
      *error = ErrnoText("cannot reach " + path);
      return DialStatus::kFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!PeerIsSameUser(connection.get())) {
    *error = path + " is served by another user";
    return DialStatus::kFailed;
  }
  *socket = std::move(connection);
  return DialStatus::kConnected;
}

std::string BytesAsJsonText(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const unsigned char byte : bytes) {
    if (byte >= 0x80) text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
    text.push_back(static_cast<char>(byte < 0x80 ? byte : 0x80 | (byte & 0x3F)));
  }
  return text;
}

bool BytesFromJsonText(const std::string& text, std::string* bytes) {
  bytes->clear();
  bytes->reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      bytes->push_back(static_cast<char>(lead));
      continue;
    }
    if ((lead != 0xC2 && lead != 0xC3) || i + 1 >= text.size()) return false;
    const unsigned char next = static_cast<unsigned char>(text[++i]);
    if ((next & 0xC0) != 0x80) return false;
    bytes->push_back(static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F)));
  }
  return true;
}

const std::string* StringField(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() ? found->get_ptr<const std::string*>() : nullptr;
}

LineStatus ReadLineBefore(int fd, std::size_t maxBytes, SteadyClock::time_point deadline, std::string* line) {
  // Whatever the last read brought past the line end goes with `buffer`.
  std::string buffer;
  std::size_t start = 0;
  return NextLine(fd, &buffer, &start, maxBytes, deadline, line);
}

bool WriteAllBefore(int fd, const std::string& bytes, SteadyClock::time_point deadline) {
  std::size_t done = 0;
  while (SendWhatFits(fd, bytes, &done)) {
    if (done == bytes.size()) return true;
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
  }
  return false;
}

bool SendWhatFits(int fd, const std::string& bytes, std::size_t* done) {
  while (*done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + *done, bytes.size() - *done, MSG_NOSIGNAL);
    if (n > 0) {
      *done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  return true;
}

LineStatus LineChannel::Next(std::size_t maxBytes, SteadyClock::time_point deadline, std::string* line) {
  return NextLine(fd_.get(), &buffer_, &start_, maxBytes, deadline, line);
}

}  // namespace proxycli
