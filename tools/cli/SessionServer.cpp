#include "tools/cli/SessionServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sstream>
#include <utility>

#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "tools/cli/Operations.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/StopSignal.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxShownServerList = 8192;

// Catalogue lines go out in chunks of about this size.
constexpr std::size_t kCatalogueChunkBytes = 256 * 1024;

long WholeSeconds(Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

void Answer(int fd, const nlohmann::json& answer) {
  WriteAllBefore(fd, DumpJson(answer, -1) + "\n", Clock::now() + kAnswerWriteTimeout);
}

// An answer that the subcommand reports as a failure of its own.
nlohmann::json Refusal(const std::string& operation, const std::string& name, const std::string& message) {
  return {{"exit_status", kExitRefused},
          {"data",
           {{"errors",
             {{{"operation", operation},
               {"result", -1},
               {"result_hex", ResultHex(-1)},
               {"result_name", name},
               {"errdesc", message}}}}}},
          {"text", ""}};
}

// `bytes` as the JSON string of BytesAsJsonText(bytes).
void AppendJsonBytes(const std::string& bytes, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (const unsigned char byte : bytes) {
    if (byte == '"' || byte == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(byte));
    } else if (byte < 0x20) {
      *out += "\\u00";
      out->push_back(kHex[byte >> 4]);
      out->push_back(kHex[byte & 0xF]);
    } else if (byte < 0x80) {
      out->push_back(static_cast<char>(byte));
    } else {
      out->push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out->push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  out->push_back('"');
}

}  // namespace

SessionServer::SessionServer(std::string user, HostPaths paths, int serverId)
    : user_(std::move(user)), paths_(std::move(paths)), serverId_(serverId) {}

SessionServer::~SessionServer() { Finish(nlohmann::json::object()); }

SessionListener::Status SessionServer::Open(const SessionSocketPlace& place, std::string* error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return SessionListener::Status::kFailed;
  }
  wakeRead_.Reset(fds[0]);
  wakeWrite_.Reset(fds[1]);
  servers_ = place.servers;
  return listener_.Open(place, error);
}

void SessionServer::Start() {
  if (listener_.fd() < 0 || thread_.joinable()) return;
  thread_ = std::thread([this] { Serve(); });
  worker_ = std::thread([this] { Work(); });
}

void SessionServer::Leased(const DialupInfo& lease, double intervalSeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::kEnding || phase_ == Phase::kEnded) return;
  phase_ = Phase::kLeased;
  recoveringReason_.clear();
  lendUser_ = lease.lendusername;
  intervalSeconds_ = intervalSeconds;
  leasedAt_ = Clock::now();
  succeeded_ = 0;
  failed_ = 0;
  haveHandshake_ = false;
  lastResult_ = 0;
  lastErrdesc_.clear();
}

void SessionServer::Recovering(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::kEnding || phase_ == Phase::kEnded) return;
  phase_ = Phase::kRecovering;
  recoveringReason_ = reason;
}

void SessionServer::ServerListReplaced(const std::string& pushedList) {
  std::lock_guard<std::mutex> lock(mutex_);
  listReplaced_ = true;
  // The service's text: what 64 entries take at most, so a hostile push
  // cannot swell every status answer.
  replacedList_ = pushedList.substr(0, kMaxShownServerList);
}

void SessionServer::Handshake(int result, const std::string& errdesc, int succeeded, int failed) {
  std::lock_guard<std::mutex> lock(mutex_);
  succeeded_ = succeeded;
  failed_ = failed;
  haveHandshake_ = true;
  lastResult_ = result;
  lastErrdesc_ = errdesc;
  lastAt_ = Clock::now();
}

void SessionServer::Ending() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (phase_ != Phase::kEnded) phase_ = Phase::kEnding;
  // CancelAll reaches only exchanges already under way; one that starts just
  // after it is cancelled on the next round.
  while (operationBusy_) {
    ProxyHelperControl::CancelAll();
    changed_.wait_for(lock, std::chrono::milliseconds(50));
  }
}

bool SessionServer::disconnectRequested() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return disconnectRequested_;
}

bool SessionServer::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return phase_ == Phase::kEnded;
}

void SessionServer::Finish(const nlohmann::json& answer) {
  // An operation still in flight (when the loop did not say Ending) is
  // cancelled, not waited out.
  Ending();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ == Phase::kEnded) return;
    phase_ = Phase::kEnded;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    if (wakeWrite_.valid()) {
      const ssize_t ignored = ::write(wakeWrite_.get(), "x", 1);
      (void)ignored;
    }
    thread_.join();
  }
  if (worker_.joinable()) worker_.join();
  // Gone before the disconnect is answered: whoever comes after it finds no
  // connect and signs in on its own.
  listener_.Close();
  std::vector<OwnedDescriptor> waiting;
  std::deque<Job> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(waitingDisconnects_);
    dropped.swap(jobs_);
  }
  for (OwnedDescriptor& connection : waiting) Answer(connection.get(), answer);
}

struct SessionServer::Connection {
  enum class State { kReading, kWriting, kDisconnect };
  explicit Connection(OwnedDescriptor socket)
      : fd(std::move(socket)), deadline(Clock::now() + kRequestReadTimeout) {}
  OwnedDescriptor fd;
  State state = State::kReading;
  std::string in;
  std::string out;
  std::size_t written = 0;
  Clock::time_point deadline;

  void Reply(const nlohmann::json& answer) {
    out = DumpJson(answer, -1) + "\n";
    written = 0;
    state = State::kWriting;
    deadline = Clock::now() + kAnswerWriteTimeout;
  }
  // Takes what has come; false when the connection is done with.
  bool Read(bool* whole) {
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
      if (n > 0) {
        in.append(chunk, static_cast<std::size_t>(n));
        const std::size_t end = in.find('\n');
        if (end != std::string::npos && end <= kMaxRequestBytes) {
          in.resize(end);
          *whole = true;
          return true;
        }
        if (in.size() > kMaxRequestBytes) {
          Reply(Refusal("connect", "bad request",
                        "request longer than " + std::to_string(kMaxRequestBytes) + " bytes"));
          return true;
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  // Sends what it can; false once all is sent or the peer is gone.
  bool Write() {
    while (written < out.size()) {
      const ssize_t n = ::send(fd.get(), out.data() + written, out.size() - written, MSG_NOSIGNAL);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return false;
  }
};

void SessionServer::Serve() {
  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<pollfd> entries;
  for (;;) {
    // At the cap, newcomers wait in the backlog until a slot frees (every
    // slot but a parked disconnect has a deadline).
    const bool accepting = connections.size() < kMaxSessionConnections;
    entries.assign({{wakeRead_.get(), POLLIN, 0}, {accepting ? listener_.fd() : -1, POLLIN, 0}});
    Clock::time_point nearest = Clock::time_point::max();
    for (const auto& connection : connections) {
      short events = POLLRDHUP;
      if (connection->state == Connection::State::kReading) events = POLLIN;
      if (connection->state == Connection::State::kWriting) events = POLLOUT;
      entries.push_back({connection->fd.get(), events, 0});
      if (connection->state != Connection::State::kDisconnect)
        nearest = std::min(nearest, connection->deadline);
    }
    int timeout = -1;
    if (nearest != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
      timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 60000));
    }
    const int ready = ::poll(entries.data(), entries.size(), timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && entries[0].revents != 0) break;
    const Clock::time_point now = Clock::now();
    std::vector<std::unique_ptr<Connection>> kept;
    kept.reserve(connections.size());
    for (std::size_t i = 0; i < connections.size(); ++i) {
      Connection& connection = *connections[i];
      const short revents = ready > 0 ? entries[i + 2].revents : 0;
      bool keep = true;
      if (connection.state == Connection::State::kDisconnect) {
        keep = (revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
      } else if (revents != 0) {
        if (connection.state == Connection::State::kReading) {
          bool whole = false;
          keep = connection.Read(&whole) && (!whole || Dispatch(connection));
        }
        if (keep && connection.state == Connection::State::kWriting) keep = connection.Write();
      }
      if (keep && connection.state != Connection::State::kDisconnect && now >= connection.deadline)
        keep = false;
      if (keep) kept.push_back(std::move(connections[i]));
    }
    connections.swap(kept);
    if (ready > 0 && accepting && (entries[1].revents & POLLIN) != 0) {
      for (int n = 0; n < 16 && connections.size() < kMaxSessionConnections; ++n) {
        OwnedDescriptor accepted = listener_.Accept();
        if (!accepted.valid()) break;
        connections.push_back(std::unique_ptr<Connection>(new Connection(std::move(accepted))));
      }
    }
  }
  // Waiting disconnects are answered by Finish, once everything is handed back.
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& connection : connections) {
    if (connection->state == Connection::State::kDisconnect)
      waitingDisconnects_.push_back(std::move(connection->fd));
  }
}

bool SessionServer::Dispatch(Connection& connection) {
  const std::string& line = connection.in;
  const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
  const std::string operation = request.is_object() && request.contains("op") && request["op"].is_string()
                                    ? request["op"].get<std::string>()
                                    : std::string();
  if (operation == "status") {
    connection.Reply(Status());
    return true;
  }
  if (operation == "disconnect") {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disconnectRequested_ = true;
    }
    connection.state = Connection::State::kDisconnect;
    RequestStop();
    return true;
  }
  const Operation* row = FindOperation(operation);
  if (row == nullptr || !row->viaConnect) {
    connection.Reply(Refusal("connect", "bad request", "unknown request: " + line.substr(0, 80)));
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // The client asks again until connect holds its lease or is gone.
  if (phase_ == Phase::kRecovering) {
    connection.Reply({{"retry", true}, {"recovering", BytesAsJsonText(recoveringReason_)}});
    return true;
  }
  if (phase_ != Phase::kLeased || jobs_.size() >= kMaxQueuedOperations) {
    connection.Reply({{"retry", true}});
    return true;
  }
  jobs_.push_back({operation, std::move(connection.fd)});
  changed_.notify_all();
  return false;
}

namespace {

// The client gave up while its operation waited for its turn.
bool PeerLeft(int fd) {
  pollfd entry{fd, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

void SessionServer::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !jobs_.empty() || phase_ == Phase::kEnded; });
      if (phase_ == Phase::kEnded) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (PeerLeft(job.connection.get())) continue;
    nlohmann::json retry;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (phase_ == Phase::kLeased) {
        operationBusy_ = true;
      } else {
        retry = {{"retry", true}};
        if (phase_ == Phase::kRecovering) retry["recovering"] = BytesAsJsonText(recoveringReason_);
      }
    }
    if (!retry.is_null()) {
      Answer(job.connection.get(), retry);
      continue;
    }
    ServerCatalogue catalogue;
    const nlohmann::json answer = Perform(job.operation, &catalogue);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      operationBusy_ = false;
    }
    changed_.notify_all();
    Answer(job.connection.get(), answer);
    if (answer.contains("catalogue")) {
      SendCatalogue(job.connection.get(), catalogue);
      // A large catalogue is gone with this answer: its pages go back to
      // the system rather than stay with connect for the rest of its run.
      ServerCatalogue().swap(catalogue);
#ifdef __GLIBC__
      ::malloc_trim(0);
#endif
    }
  }
}

bool SessionServer::SendCatalogue(int fd, const ServerCatalogue& catalogue) {
  std::string chunk;
  std::size_t sent = 0;
  // Waits in short slices, so a connect that is leaving does not wait for
  // a client that stopped reading; a stall of kAnswerWriteTimeout ends it.
  auto flush = [&]() {
    std::size_t done = 0;
    Clock::time_point stallEnd = Clock::now() + kAnswerWriteTimeout;
    while (done < chunk.size()) {
      const ssize_t n = ::send(fd, chunk.data() + done, chunk.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        stallEnd = Clock::now() + kAnswerWriteTimeout;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (ended() || Clock::now() >= stallEnd) return false;
      pollfd entry{fd, POLLOUT, 0};
      ::poll(&entry, 1, 200);
    }
    sent += chunk.size();
    chunk.clear();
    return true;
  };
  auto add = [&](const nlohmann::json& line) {
    chunk += DumpJson(line, -1);
    chunk += '\n';
    return chunk.size() < kCatalogueChunkBytes || flush();
  };
  std::size_t records = 0;
  for (const auto& group : catalogue) {
    if (!add({{"group", BytesAsJsonText(group.first)}})) return false;
    for (const ServerInfo& server : group.second) {
      if (sent + chunk.size() > kMaxAnswerBytes) {
        chunk.clear();
        add({{"end", false},
             {"errdesc", "the catalogue is larger than " + std::to_string(kMaxAnswerBytes) + " bytes"}});
        flush();
        return false;
      }
      // Written by hand: a document per record would double the time of a
      // large catalogue.
      chunk += "[";
      AppendJsonBytes(server.GetKey(), &chunk);
      chunk += ",";
      AppendJsonBytes(server.GetValue(), &chunk);
      chunk += "]\n";
      if (chunk.size() >= kCatalogueChunkBytes && !flush()) return false;
      ++records;
    }
  }
  add({{"end", true}, {"groups", catalogue.size()}, {"records", records}});
  return flush();
}

nlohmann::json SessionServer::Status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  nlohmann::json data = {{"running", true},        {"pid", static_cast<long>(::getpid())},
                         {"username", user_},      {"servers", servers_},
                         {"server_id", serverId_}, {"socket", listener_.path()}};
  std::ostringstream text;
  // The lent user name and the error texts come from the service.
  text << "connect (pid " << ::getpid() << ") for " << Printable(user_) << " on " << servers_ << ": ";
  if (phase_ == Phase::kStarting) {
    data["phase"] = "signing in";
    text << "signing in, no lease on server " << serverId_ << " yet\n";
  } else if (phase_ == Phase::kRecovering) {
    data["phase"] = "recovering";
    data["recovering"] = recoveringReason_;
    text << "recovering: " << Printable(recoveringReason_) << "\n";
  } else {
    data["phase"] = phase_ == Phase::kLeased ? "leased" : "ending";
    const long uptime = WholeSeconds(now - leasedAt_);
    data["lendusername"] = lendUser_;
    data["uptime_seconds"] = uptime;
    data["interval_seconds"] = intervalSeconds_;
    text << (phase_ == Phase::kLeased ? "" : "releasing, ") << "server " << serverId_ << " as "
         << Printable(lendUser_) << ", up " << uptime << " s\n";
  }
  if (listReplaced_) {
    data["server_list_replaced"] = replacedList_;
    text << "the service replaced the server list with: " << Printable(replacedList_) << "\n";
  }
  // The account server the next request goes to: after a failover, the
  // one that answered last.
  std::string host;
  int port = 0;
  bool secure = false;
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  if (!host.empty()) {
    const bool literal6 = host.find(':') != std::string::npos;
    const std::string address =
        (secure ? "https://" : "http://") + (literal6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    data["account_server"] = address;
    text << "account server " << Printable(address) << "\n";
  }
  data["handshakes_ok"] = succeeded_;
  data["handshakes_failed"] = failed_;
  text << "handshakes: " << succeeded_ << " ok, " << failed_ << " failed";
  if (haveHandshake_) {
    const long ago = WholeSeconds(now - lastAt_);
    data["last_handshake"] = {{"result", lastResult_},
                              {"result_hex", ResultHex(lastResult_)},
                              {"result_name", ResultName(lastResult_)},
                              {"errdesc", lastErrdesc_},
                              {"seconds_ago", ago}};
    text << "; last " << ago << " s ago: " << ResultHex(lastResult_) << " " << ResultName(lastResult_);
    if (!lastErrdesc_.empty()) text << ": " << Printable(lastErrdesc_);
  }
  text << "\n";
  return {{"exit_status", kExitOk}, {"data", data}, {"text", BytesAsJsonText(text.str())}};
}

// The same operations, fields and lines as the subcommands run on their
// own, minus the sign-in and sign-out. The catalogue's records stay in
// `catalogue`, sent after the answer line.
nlohmann::json SessionServer::Perform(const std::string& operation, ServerCatalogue* catalogue) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Console console{in, out, err, false, false};
  Report report(console, operation, /*json=*/false);
  ServiceCalls calls(report, paths_);
  bool lines = false;
  const Operation* row = FindOperation(operation);
  if (row != nullptr && row->inSession != nullptr) {
    (calls.*row->inSession)();
  } else {
    // The records themselves: the subcommand filters and shows them its way.
    lines = calls.GetVpnServers(*catalogue);
  }
  nlohmann::json answer = {
      {"exit_status", report.exitStatus()}, {"data", report.data()}, {"text", BytesAsJsonText(out.str())}};
  if (lines) answer["catalogue"] = "lines";
  return answer;
}

}  // namespace proxycli
