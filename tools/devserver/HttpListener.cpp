#include "tools/devserver/HttpListener.h"

#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <type_traits>

#include "facade/ProxyHelperControl.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/RandomText.h"
#include "tools/devserver/WorkerPool.h"

namespace devserver {

namespace {

// The library's server with its connection handling replaced by
// ServeConnection; `Base` is httplib::Server or httplib::SSLServer.
template <typename Base>
class GuardedServer : public Base {
 public:
  using Base::Base;

  void Configure(const ConnectionLimits* limits, int stopFd, UnservedLog log) {
    limits_ = limits;
    stopFd_ = stopFd;
    log_ = std::move(log);
  }

  // The library listens with a backlog of 5: a burst of new connections
  // beyond that would wait a second for the SYN to be sent again.
  void WidenBacklog() { ::listen(this->svr_sock_, SOMAXCONN); }

  // Closes the bound port when no server loop will ever run to close it.
  void CloseUnserved() {
    const socket_t sock = this->svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) ::close(sock);
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    SSL_CTX* tls = nullptr;
    if constexpr (std::is_base_of_v<httplib::SSLServer, Base>) tls = this->ssl_context();
    ServeConnection(
        sock, tls, stopFd_, *limits_,
        [this](httplib::Stream& stream, bool closeConnection, bool& connectionClosed,
               const std::function<void(httplib::Request&)>& headRead) {
          return this->process_request(stream, closeConnection, connectionClosed, headRead);
        },
        log_);
    return true;
  }

  const ConnectionLimits* limits_ = nullptr;
  int stopFd_ = -1;
  UnservedLog log_;
};

// Calls `action` with `server` as the GuardedServer it was made as.
template <typename Action>
void WithGuarded(httplib::Server* server, bool tls, Action action) {
  if (tls) {
    action(static_cast<GuardedServer<httplib::SSLServer>*>(server));
  } else {
    action(static_cast<GuardedServer<httplib::Server>*>(server));
  }
}

void CloseUnserved(httplib::Server* server, bool tls) {
  WithGuarded(server, tls, [](auto* guarded) { guarded->CloseUnserved(); });
}

// "http status 500": the client's words for a status other than 200.
std::string HttpStatusWords(int status) {
  return std::string(ProxyHelperControl::OutcomeName(AttemptOutcome::kHttpStatus)) + " " +
         std::to_string(status);
}

// Why httplib could not listen on host:port, right after it failed: it
// leaves errno from the failed bind or listen, but says nothing when the
// host does not resolve.
std::string ListenFailure(const std::string& host, int port, int savedErrno) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return gai_strerror(rc);
  ::freeaddrinfo(found);
  return savedErrno != 0 ? std::strerror(savedErrno) : "unknown error";
}

}  // namespace

std::string GarbageBody() {
  static const std::string alphabet =
      "!\"$%'()*+,-./0123456789:<>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ\\^_`abcdefghijklmnopqrstuvwxyz{|}~"
      "\x80\x9f\xa0\xc3\xe2\xfe";
  return "\xff" + RandomFrom(alphabet, 255);
}

HttpListener::HttpListener(AccountService* service, FaultMode mode, const TlsFiles* tls,
                           const ConnectionLimits& limits, std::size_t workers)
    : service_(service), mode_(mode), limits_(limits), workers_(workers), tls_(tls != nullptr) {
  if (tls != nullptr) {
    server_ = std::make_unique<GuardedServer<httplib::SSLServer>>(tls->certificateFile.c_str(),
                                                                  tls->privateKeyFile.c_str());
  } else {
    server_ = std::make_unique<GuardedServer<httplib::Server>>();
  }
}

HttpListener::~HttpListener() { Stop(); }

void HttpListener::LogUnserved(const std::string& script, const std::string& outcome) const {
  if (service_ != nullptr) service_->LogUnserved(script, outcome);
}

void HttpListener::Route() {
  server_->set_payload_max_length(limits_.bodyBytes);
  // The Keep-Alive header then announces what ServeConnection does.
  server_->set_keep_alive_max_count(limits_.requestsPerConnection);
  server_->set_keep_alive_timeout(
      static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(limits_.idle).count()));
  // The library's default is SO_REUSEPORT, which lets a second server bind
  // a port that is already serving and silently share its connections; a
  // busy port must be an error instead.
  server_->set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Refuse an announced oversized body before reading it, where the library
  // would first read and discard all of it, however large.
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    const std::string length = req.get_header_value("Content-Length");
    if (length.empty()) return httplib::Server::HandlerResponse::Unhandled;
    char* end = nullptr;
    errno = 0;
    const unsigned long long announced = std::strtoull(length.c_str(), &end, 10);
    const bool over =
        errno == ERANGE || (end != length.c_str() && *end == '\0' && announced > limits_.bodyBytes);
    if (!over) return httplib::Server::HandlerResponse::Unhandled;
    res.status = 413;
    res.set_content("request body too large\n", "text/plain");
    CloseAfterThisAnswer();  // the body is still coming
    return httplib::Server::HandlerResponse::Handled;
  });
  // Every answer no route's handler gave (those log themselves): unknown
  // paths, bad requests, oversized bodies.
  server_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (!req.matches.empty() || CurrentRequestCutOff()) return;
    std::string outcome = HttpStatusWords(res.status);
    if (res.status == 413) outcome += " (body over " + std::to_string(limits_.bodyBytes) + " bytes)";
    LogUnserved(ScriptOfPath(req.path), outcome);
  });
  switch (mode_) {
    case FaultMode::kStatus500:
      server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
        res.status = 500;
        res.set_content("internal server error\n", "text/plain");
        LogUnserved(ScriptOfPath(req.path), HttpStatusWords(500));
      });
      break;
    case FaultMode::kGarbage:
      server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
        res.status = 200;
        res.set_content(GarbageBody(), "text/plain");
        LogUnserved(ScriptOfPath(req.path), ProxyHelperControl::OutcomeName(AttemptOutcome::kUnparsable));
      });
      break;
    default:
      server_->Post(R"(/vpn_intl/([^/]*))", [this](const httplib::Request& req, httplib::Response& res) {
        const HttpAnswer answer = service_->Handle(req.matches[1].str(), req.body);
        res.status = answer.status;
        res.set_content(answer.body, answer.contentType.c_str());
      });
      break;
  }
}

bool HttpListener::Start(const std::string& host, int port, std::string* error) {
  // An SSLServer whose certificate or key did not load has no TLS context.
  if (!server_->is_valid()) {
    *error = tls_ ? "cannot use the TLS certificate and key" : "cannot set up the HTTP server";
    return false;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  stopRead_.Reset(pipeFds[0]);
  stopWrite_.Reset(pipeFds[1]);
  const UnservedLog log = [this](const std::string& script, const std::string& outcome) {
    LogUnserved(script, outcome);
  };
  WithGuarded(server_.get(), tls_,
              [&](auto* guarded) { guarded->Configure(&limits_, stopRead_.get(), log); });
  Route();
  pool_ = std::make_unique<WorkerPool>(workers_);
  // The server loop takes the pool over; made here, its failure is ours to report.
  server_->new_task_queue = [this] { return pool_.release(); };

  errno = 0;
  if (port == 0) {
    port_ = server_->bind_to_any_port(host);
    if (port_ <= 0) {
      *error = ListenFailure(host, port, errno);
      return false;
    }
  } else if (server_->bind_to_port(host, port)) {
    port_ = port;
  } else {
    *error = ListenFailure(host, port, errno);
    return false;
  }
  WithGuarded(server_.get(), tls_, [](auto* guarded) { guarded->WidenBacklog(); });
  try {
    thread_ = std::thread([this] {
      try {
        server_->listen_after_bind();
      } catch (const std::exception&) {
        // Out of memory in the accept loop: stop taking connections rather
        // than end the process. Stop closes the port.
        loopFailed_ = true;
      }
      finished_ = true;
    });
  } catch (const std::system_error& failure) {
    CloseUnserved(server_.get(), tls_);
    *error = std::string("cannot start a thread: ") + failure.what();
    return false;
  }
  return true;
}

void HttpListener::Stop() {
  if (stopWrite_.valid()) {
    // Wake every connection waiting for its peer, so that none holds the
    // server loop's shutdown up.
    const char wake = 'x';
    ssize_t written;
    do {
      written = ::write(stopWrite_.get(), &wake, 1);
    } while (written < 0 && errno == EINTR);
  }
  if (!thread_.joinable()) return;
  // stop() only acts once the server loop is running; until the thread has
  // got that far, keep asking. Each round either stops the loop or waits
  // for a thread that is about to enter it, so this ends.
  while (!finished_) {
    if (server_->is_running()) server_->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  thread_.join();
  if (loopFailed_) CloseUnserved(server_.get(), tls_);
}

}  // namespace devserver
