#include "tools/cli/SessionServer.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>

#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/StopSignal.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

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
  return listener_.Open(place, error);
}

void SessionServer::Start() {
  if (listener_.fd() >= 0 && !thread_.joinable()) thread_ = std::thread([this] { Serve(); });
}

void SessionServer::Leased(const DialupInfo& lease, double intervalSeconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ != Phase::kStarting) return;
  phase_ = Phase::kLeased;
  lendUser_ = lease.lendusername;
  intervalSeconds_ = intervalSeconds;
  leasedAt_ = Clock::now();
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
  if (phase_ == Phase::kStarting || phase_ == Phase::kLeased) phase_ = Phase::kEnding;
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

void SessionServer::Finish(const nlohmann::json& answer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ == Phase::kEnded) return;
    phase_ = Phase::kEnded;
  }
  if (thread_.joinable()) {
    if (wakeWrite_.valid()) {
      const ssize_t ignored = ::write(wakeWrite_.get(), "x", 1);
      (void)ignored;
    }
    thread_.join();
  }
  // Gone before the disconnect is answered: whoever comes after it finds no
  // connect and signs in on its own.
  listener_.Close();
  std::vector<OwnedDescriptor> waiting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting.swap(waitingDisconnects_);
  }
  for (OwnedDescriptor& connection : waiting) Answer(connection.get(), answer);
}

void SessionServer::Serve() {
  for (;;) {
    pollfd entries[2] = {{listener_.fd(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int ready = ::poll(entries, 2, -1);
    if (ready < 0 && errno != EINTR) return;
    if (entries[1].revents != 0) return;
    if ((entries[0].revents & POLLIN) == 0) continue;
    OwnedDescriptor connection = listener_.Accept();
    if (connection.valid()) ServeOne(std::move(connection));
  }
}

void SessionServer::ServeOne(OwnedDescriptor connection) {
  std::string line;
  const LineStatus read =
      ReadLineBefore(connection.get(), kMaxRequestBytes, Clock::now() + kRequestReadTimeout, &line);
  if (read == LineStatus::kTooLong) {
    Answer(connection.get(), Refusal("connect", "bad request",
                                     "request longer than " + std::to_string(kMaxRequestBytes) + " bytes"));
  }
  if (read != LineStatus::kLine) return;
  const nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
  const std::string operation = request.is_object() && request.contains("op") && request["op"].is_string()
                                    ? request["op"].get<std::string>()
                                    : std::string();
  if (operation == "status") {
    Answer(connection.get(), Status());
    return;
  }
  if (operation == "disconnect") {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disconnectRequested_ = true;
      waitingDisconnects_.push_back(std::move(connection));
    }
    RequestStop();
    return;
  }
  if (operation != "account" && operation != "servers" && operation != "ratio") {
    Answer(connection.get(), Refusal("connect", "bad request", "unknown request: " + line.substr(0, 80)));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ != Phase::kLeased) {
      // The client asks again until connect holds its lease or is gone.
      Answer(connection.get(), {{"retry", true}});
      return;
    }
    operationBusy_ = true;
  }
  nlohmann::json answer = Perform(operation);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    operationBusy_ = false;
  }
  changed_.notify_all();
  Answer(connection.get(), answer);
}

nlohmann::json SessionServer::Status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  nlohmann::json data = {{"running", true},
                         {"pid", static_cast<long>(::getpid())},
                         {"username", user_},
                         {"server_id", serverId_},
                         {"socket", listener_.path()}};
  std::ostringstream text;
  text << "connect (pid " << ::getpid() << ") for " << user_ << ": ";
  if (phase_ == Phase::kStarting) {
    data["phase"] = "signing in";
    text << "signing in, no lease on server " << serverId_ << " yet\n";
  } else {
    data["phase"] = phase_ == Phase::kLeased ? "leased" : "ending";
    const long uptime = WholeSeconds(now - leasedAt_);
    data["lendusername"] = lendUser_;
    data["uptime_seconds"] = uptime;
    data["interval_seconds"] = intervalSeconds_;
    text << (phase_ == Phase::kLeased ? "" : "releasing, ") << "server " << serverId_ << " as " << lendUser_
         << ", up " << uptime << " s\n";
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
    if (!lastErrdesc_.empty()) text << ": " << lastErrdesc_;
  }
  text << "\n";
  return {{"exit_status", kExitOk}, {"data", data}, {"text", BytesAsJsonText(text.str())}};
}

// The same operations, fields and lines as the subcommands run on their
// own, minus the sign-in and sign-out.
nlohmann::json SessionServer::Perform(const std::string& operation) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  Console console{in, out, err, false, false};
  Report report(console, operation, /*json=*/false);
  ServiceCalls calls(report, paths_);
  if (operation == "account") {
    calls.ShowAccount();
  } else if (operation == "servers") {
    // The records themselves: the subcommand filters and shows them its way.
    ServerCatalogue catalogue;
    if (calls.GetVpnServers(catalogue)) {
      nlohmann::json groups = nlohmann::json::object();
      for (const auto& group : catalogue) {
        nlohmann::json& entries = groups[BytesAsJsonText(group.first)];
        entries = nlohmann::json::array();
        for (const ServerInfo& server : group.second) {
          entries.push_back({BytesAsJsonText(server.GetKey()), BytesAsJsonText(server.GetValue())});
        }
      }
      report.data()["catalogue"] = std::move(groups);
    }
  } else {
    std::vector<ServerOnlineRatio> ratios;
    if (calls.GetOnlineRatio(ratios)) {
      report.data()["ratios"] = RatiosJson(ratios);
      report.Print(RatiosText(ratios));
    }
  }
  return {
      {"exit_status", report.exitStatus()}, {"data", report.data()}, {"text", BytesAsJsonText(out.str())}};
}

}  // namespace proxycli
