#include "tools/cli/SessionServer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
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

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxShownServerList = 8192;

// Catalogue lines go out in chunks of about this size.
constexpr std::size_t kCatalogueChunkBytes = 256 * 1024;

long WholeSeconds(Clock::duration duration) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

// One line of the exchange.
std::string JsonLine(const nlohmann::json& document) { return DumpJson(document, -1) + "\n"; }

void Answer(int fd, const nlohmann::json& answer) {
  WriteAllBefore(fd, JsonLine(answer), Clock::now() + kAnswerWriteTimeout);
}

// A request connect does not take, as an answer that the subcommand reports
// as a failure of its own.
nlohmann::json BadRequest(const std::string& message) {
  const nlohmann::json error = {{"operation", "connect"},
                                {"result", -1},
                                {"result_hex", ResultHex(-1)},
                                {"result_name", "bad request"},
                                {"errdesc", message}};
  return {
      {"exit_status", kExitRefused}, {"data", {{"errors", nlohmann::json::array({error})}}}, {"text", ""}};
}

// `bytes` as the JSON string of BytesAsJsonText(bytes).
void AppendJsonBytes(const std::string& bytes, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (const unsigned char byte : bytes) {
    if (byte < 0x20) {
      *out += {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
    } else if (byte < 0x80) {
      if (byte == '"' || byte == '\\') out->push_back('\\');
      out->push_back(static_cast<char>(byte));
    } else {
      *out += {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
    }
  }
  out->push_back('"');
}

// The client gave up while its operation waited for its turn.
bool PeerLeft(int fd) {
  pollfd entry{fd, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
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
  lendUser_ = lease.lendusername;
  intervalSeconds_ = intervalSeconds;
  leasedAt_ = Clock::now();
  succeeded_ = 0;
  failed_ = 0;
  haveHandshake_ = false;
}

void SessionServer::Recovering(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::kEnding || phase_ == Phase::kEnded) return;
  phase_ = Phase::kRecovering;
  recoveringReason_ = reason;
}

void SessionServer::ServerListReplaced(const std::string& pushedList) {
  std::lock_guard<std::mutex> lock(mutex_);
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
  // The pipe's read end reports the hang-up, and Serve returns.
  wakeWrite_.Reset();
  if (thread_.joinable()) thread_.join();
  if (worker_.joinable()) worker_.join();
  // Gone before the disconnect is answered: whoever comes after it finds no
  // connect and signs in on its own.
  listener_.Close();
  std::vector<OwnedDescriptor> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(waitingDisconnects_);
    jobs_.clear();
  }
  for (OwnedDescriptor& connection : waiting) Answer(connection.get(), answer);
}

struct SessionServer::Connection {
  // A parked disconnect waits without a deadline for Finish to answer it.
  enum class State { kReading, kWriting, kDisconnect };
  explicit Connection(OwnedDescriptor socket) : channel(std::move(socket)) {}
  LineChannel channel;
  State state = State::kReading;
  std::string out;
  std::size_t written = 0;
  Clock::time_point deadline = Clock::now() + kRequestReadTimeout;

  void Reply(const nlohmann::json& answer) {
    out = JsonLine(answer);
    state = State::kWriting;
    deadline = Clock::now() + kAnswerWriteTimeout;
  }
};

void SessionServer::Serve() {
  std::vector<Connection> connections;
  std::vector<pollfd> entries;
  for (;;) {
    // At the cap, newcomers wait in the backlog until a slot frees (every
    // slot but a parked disconnect has a deadline).
    const bool accepting = connections.size() < kMaxSessionConnections;
    entries.assign({{wakeRead_.get(), POLLIN, 0}, {accepting ? listener_.fd() : -1, POLLIN, 0}});
    Clock::time_point nearest = Clock::time_point::max();
    for (const Connection& connection : connections) {
      // What each state waits for: its request, room for its answer, the hang-up.
      static constexpr short kEvents[] = {POLLIN, POLLOUT, POLLRDHUP};
      entries.push_back({connection.channel.fd(), kEvents[static_cast<int>(connection.state)], 0});
      nearest = std::min(nearest, connection.deadline);
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
    std::vector<Connection> kept;
    for (std::size_t i = 0; i < connections.size(); ++i) {
      Connection& connection = connections[i];
      const short revents = ready > 0 ? entries[i + 2].revents : 0;
      bool keep = true;
      if (connection.state == Connection::State::kDisconnect) {
        keep = (revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
      } else if (revents != 0) {
        if (connection.state == Connection::State::kReading) keep = Receive(connection);
        // Sends what it can; done once all is sent or the peer is gone.
        if (keep && connection.state == Connection::State::kWriting) {
          keep = SendWhatFits(connection.channel.fd(), connection.out, &connection.written) &&
                 connection.written < connection.out.size();
        }
      }
      if (keep && now < connection.deadline) kept.push_back(std::move(connection));
    }
    connections.swap(kept);
    if (ready > 0 && accepting && (entries[1].revents & POLLIN) != 0) {
      for (int n = 0; n < 16 && connections.size() < kMaxSessionConnections; ++n) {
        OwnedDescriptor accepted = listener_.Accept();
        if (!accepted.valid()) break;
        connections.emplace_back(std::move(accepted));
      }
    }
  }
  // Waiting disconnects are answered by Finish, once everything is handed back.
  std::lock_guard<std::mutex> lock(mutex_);
  for (Connection& connection : connections) {
    if (connection.state == Connection::State::kDisconnect)
      waitingDisconnects_.push_back(connection.channel.Release());
  }
}

bool SessionServer::Receive(Connection& connection) {
  std::string line;
  const LineStatus status = connection.channel.Next(kMaxRequestBytes, Clock::now(), &line);
  // Takes only what has come: the rest of a line waits within the deadline.
  if (status == LineStatus::kTimeout) return true;
  if (status == LineStatus::kClosed || status == LineStatus::kFailed) return false;
  if (status == LineStatus::kTooLong) {
    connection.Reply(BadRequest("request longer than " + std::to_string(kMaxRequestBytes) + " bytes"));
    return true;
  }
  const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
  const std::string* op = StringField(request, "op");
  const std::string operation = op != nullptr ? *op : std::string();
  if (operation == "status") {
    connection.Reply(Status());
    return true;
  }
  if (operation == "disconnect") {
    disconnectRequested_ = true;
    connection.state = Connection::State::kDisconnect;
    connection.deadline = Clock::time_point::max();
    RequestStop();
    return true;
  }
  const Operation* row = FindOperation(operation);
  if (row == nullptr || !row->viaConnect) {
    connection.Reply(BadRequest("unknown request: " + line.substr(0, 80)));
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // The client asks again until connect holds its lease or is gone.
  if (phase_ != Phase::kLeased || jobs_.size() >= kMaxQueuedOperations) {
    connection.Reply(Retry());
    return true;
  }
  jobs_.push_back({operation, connection.channel.Release()});
  changed_.notify_all();
  return false;
}

nlohmann::json SessionServer::Retry() const {
  nlohmann::json retry = {{"retry", true}};
  if (phase_ == Phase::kRecovering) retry["recovering"] = BytesAsJsonText(recoveringReason_);
  return retry;
}

void SessionServer::Work() {
  for (;;) {
    Job job;
    nlohmann::json retry;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !jobs_.empty() || phase_ == Phase::kEnded; });
      if (phase_ == Phase::kEnded) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      if (PeerLeft(job.connection.get())) continue;
      operationBusy_ = phase_ == Phase::kLeased;
      if (!operationBusy_) retry = Retry();
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

void SessionServer::SendCatalogue(int fd, const ServerCatalogue& catalogue) {
  std::string chunk;
  std::size_t sent = 0;
  // Waits in short slices, so a connect that is leaving does not wait for
  // a client that stopped reading; a stall of kAnswerWriteTimeout ends it.
  auto flush = [&] {
    std::size_t done = 0;
    Clock::time_point stallEnd = Clock::now() + kAnswerWriteTimeout;
    for (std::size_t before = 0; done < chunk.size(); before = done) {
      if (!SendWhatFits(fd, chunk, &done)) return false;
      if (done > before) stallEnd = Clock::now() + kAnswerWriteTimeout;
      if (done == chunk.size()) break;
      if (ended() || Clock::now() >= stallEnd) return false;
      pollfd entry{fd, POLLOUT, 0};
      ::poll(&entry, 1, 200);
    }
    sent += chunk.size();
    chunk.clear();
    return true;
  };
  std::size_t records = 0;
  for (const auto& group : catalogue) {
    chunk += JsonLine({{"group", BytesAsJsonText(group.first)}});
    for (const ServerInfo& server : group.second) {
      if (sent + chunk.size() > kMaxAnswerBytes) {
        const std::string tooLarge =
            "the catalogue is larger than " + std::to_string(kMaxAnswerBytes) + " bytes";
        chunk = JsonLine({{"end", false}, {"errdesc", tooLarge}});
        flush();
        return;
      }
      // Written by hand: a document per record would double the time of a
      // large catalogue.
      chunk += "[";
      AppendJsonBytes(server.GetKey(), &chunk);
      chunk += ",";
      AppendJsonBytes(server.GetValue(), &chunk);
      chunk += "]\n";
      if (chunk.size() >= kCatalogueChunkBytes && !flush()) return;
      ++records;
    }
  }
  chunk += JsonLine({{"end", true}, {"groups", catalogue.size()}, {"records", records}});
  flush();
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
  if (replacedList_) {
    data["server_list_replaced"] = *replacedList_;
    text << "the service replaced the server list with: " << Printable(*replacedList_) << "\n";
  }
  // The account server the next request goes to: after a failover, the
  // one that answered last.
  CLoginServers::Server current;
  CLoginServers::Instance().GetCurrServer(current.host, current.port, current.secure);
  if (!current.host.empty()) {
    const std::string address = ServerAddress(current.host, current.port, current.secure);
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
