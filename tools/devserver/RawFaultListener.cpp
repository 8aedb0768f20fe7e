#include "tools/devserver/RawFaultListener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "facade/Records.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/HttpConnection.h"

namespace devserver {

namespace {

// Connections held open at once; further ones are closed at once, so a
// flood cannot exhaust descriptors.
constexpr std::size_t kMaxHeld = 64;

// Headers promise more than is ever sent: the client waits for the rest.
constexpr char kStallPrefix[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4096\r\n\r\nZ=cmVzdWx0PTAK";

// Enough of a request to name its script in the log.
constexpr std::size_t kHeadKept = 512;

struct Connection {
  UniqueFd fd;
  bool answered = false;
  std::string head;  // the first bytes the peer sent
};

// Reads and discards what the peer sent, keeping its first bytes in `head`;
// false when it has closed or failed.
bool Drain(int fd, std::string* head) {
  char buffer[4096];
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (head->size() < kHeadKept) head->append(buffer, std::min<std::size_t>(n, kHeadKept - head->size()));
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
  return true;
}

}  // namespace

RawFaultListener::RawFaultListener(FaultMode mode, const AccountService* service)
    : mode_(mode), service_(service) {}

// `head`: the first bytes of the request; a peer that sent nothing made none.
void RawFaultListener::Log(const std::string& head, AttemptOutcome outcome) const {
  if (service_ != nullptr && !head.empty()) {
    service_->LogUnserved(ScriptOfRequestHead(head), AttemptOutcomeName(outcome));
  }
}

RawFaultListener::~RawFaultListener() { Stop(); }

bool RawFaultListener::Start(const std::string& host, int port, std::string* error) {
  UniqueFd socket;
  int bound = 0;
  if (!BindTcpSocket(host, port, &socket, &bound, error)) return false;
  if (mode_ == FaultMode::kRefuse) {
    // Bound but never listening: the kernel refuses connections, and the
    // port stays reserved so nothing else takes it while we run.
    socket_ = std::move(socket);
    port_ = bound;
    return true;
  }
  if (::listen(socket.get(), 16) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  wakeRead_.Reset(pipeFds[0]);
  wakeWrite_.Reset(pipeFds[1]);
  socket_ = std::move(socket);
  try {
    thread_ = std::thread(&RawFaultListener::Run, this);
  } catch (const std::system_error& failure) {
    socket_.Reset();
    wakeRead_.Reset();
    wakeWrite_.Reset();
    *error = std::string("cannot start a thread: ") + failure.what();
    return false;
  }
  port_ = bound;
  return true;
}

void RawFaultListener::Stop() {
  if (thread_.joinable()) {
    const char wake = 'x';
    ssize_t written;
    do {
      written = ::write(wakeWrite_.get(), &wake, 1);
    } while (written < 0 && errno == EINTR);
    thread_.join();
  }
  socket_.Reset();
  wakeRead_.Reset();
  wakeWrite_.Reset();
}

void RawFaultListener::Run() {
  std::vector<Connection> held;
  while (true) {
    std::vector<pollfd> watched;
    watched.push_back(pollfd{wakeRead_.get(), POLLIN, 0});
    watched.push_back(pollfd{socket_.get(), POLLIN, 0});
    for (const Connection& connection : held) watched.push_back(pollfd{connection.fd.get(), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[0].revents != 0) break;  // Stop

    // Connections first: their indices match `watched` only before accepting.
    std::vector<Connection> kept;
    for (std::size_t i = 0; i < held.size(); ++i) {
      Connection& connection = held[i];
      const short events = watched[i + 2].revents;
      if (events == 0) {
        kept.push_back(std::move(connection));
        continue;
      }
      const bool open = Drain(connection.fd.get(), &connection.head) && (events & (POLLERR | POLLHUP)) == 0;
      if (mode_ == FaultMode::kClose) {
        // Request read (or the peer gone): close unanswered.
        Log(connection.head, AttemptOutcome::kNoResponse);
        continue;
      }
      if (!open) continue;  // peer gone
      if (!connection.answered) {
        ::send(connection.fd.get(), kStallPrefix, sizeof kStallPrefix - 1, MSG_NOSIGNAL);
        connection.answered = true;
        Log(connection.head, AttemptOutcome::kStall);
      }
      kept.push_back(std::move(connection));
    }
    held = std::move(kept);

    if ((watched[1].revents & POLLIN) != 0) {
      UniqueFd accepted(::accept4(socket_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (accepted.valid() && held.size() < kMaxHeld)
        held.push_back(Connection{std::move(accepted), false, std::string()});
    }
  }
  // `held` closes every connection on the way out.
}

}  // namespace devserver
