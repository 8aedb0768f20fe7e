#include "tools/devserver/HttpListener.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "facade/Records.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/HttpConnection.h"
#include "tools/devserver/RandomText.h"
#include "tools/devserver/Socket.h"
#include "wire/Vocabulary.h"

namespace devserver {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

// After a failed accept (out of descriptors, most likely), the pause before
// the next try, so the loop does not spin on a port that stays readable.
constexpr auto kAcceptRetry = std::chrono::milliseconds(50);

constexpr char kHealthPath[] = "/healthz";

std::string HttpStatusWords(int status) {
  return std::string(AttemptOutcomeName(AttemptOutcome::kHttpStatus)) + " " + std::to_string(status);
}

HttpReply Plain(int status, const std::string& body, const std::string& allow = "") {
  HttpReply reply;
  reply.status = status;
  reply.body = body;
  reply.allow = allow;
  return reply;
}

// What a listener answers to a request that passed every limit.
HttpReply Respond(AccountService* service, FaultMode mode, const HttpRequestView& request) {
  const auto logUnserved = [&](const std::string& outcome) {
    if (service != nullptr) service->LogUnserved(ScriptOfPath(request.path), outcome);
  };
  if (mode == FaultMode::kStatus500) {
    logUnserved(HttpStatusWords(500));
    return Plain(500, "internal server error\n");
  }
  if (mode == FaultMode::kGarbage) {
    logUnserved(AttemptOutcomeName(AttemptOutcome::kUnparsable));
    return Plain(200, GarbageBody());
  }
  const std::string prefix = protocol::kScriptDirectory;
  if (request.path.compare(0, prefix.size(), prefix) == 0 &&
      request.path.find('/', prefix.size()) == std::string::npos) {
    if (request.method != "POST") {
      logUnserved(HttpStatusWords(405));
      return Plain(405, "method not allowed\n", "POST");
    }
    // The service logs what it answers itself.
    const HttpAnswer answer = service->Handle(request.path.substr(prefix.size()), request.body, request.peer);
    HttpReply reply;
    reply.status = answer.status;
    reply.contentType = answer.contentType;
    reply.body = answer.body;
    return reply;
  }
  if (request.path == kHealthPath) {
    // Not logged: a probe every few seconds would drown the request log.
    if (request.method != "GET") return Plain(405, "method not allowed\n", "GET");
    return service->Healthy() ? Plain(200, "ok") : Plain(503, "unavailable");
  }
  logUnserved(HttpStatusWords(404));
  return Plain(404, "not found\n");
}

}  // namespace

std::string GarbageBody() {
  static const std::string alphabet =
      "!\"$%'()*+,-./0123456789:<>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ\\^_`abcdefghijklmnopqrstuvwxyz{|}~"
      "\x80\x9f\xa0\xc3\xe2\xfe";
  return "\xff" + RandomFrom(alphabet, 255);
}

// Everything that lives while the listener is started. Members are torn
// down in Stop, in an order that lets the connections' release callbacks
// still find the counters.
struct HttpListener::Impl {
  std::size_t maxOpen = 1;
  std::shared_ptr<const ConnectionEnv> env;
  std::optional<asio::ssl::context> tls;
  std::optional<asio::io_context> io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::optional<tcp::acceptor> acceptor;  // on a strand of its own
  std::optional<asio::steady_timer> retry;
  std::vector<std::thread> threads;

  std::mutex mutex;
  std::size_t open = 0;  // connections not yet released
  bool paused = false;   // at maxOpen: no accept pending
  bool stopping = false;

  ~Impl() { Stop(); }

  void Accept() {
    acceptor->async_accept(asio::make_strand(*io),
                           [this](error_code ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
  }

  void OnAccept(error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      retry->expires_after(kAcceptRetry);
      retry->async_wait([this](error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::function<void()> released = [this] { Released(); };
    bool more = true;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++open;
      if (open >= maxOpen) more = false, paused = true;
    }
    ServeConnection(std::move(socket), tls ? &*tls : nullptr, env, std::move(released));
    if (more) Accept();
  }

  void Released() {
    bool resume = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      --open;
      if (paused && !stopping && open < maxOpen) {
        paused = false;
        resume = true;
      }
    }
    if (resume) asio::post(acceptor->get_executor(), [this] { Accept(); });
  }

  void Run() {
    while (true) {
      try {
        io->run();
        return;
      } catch (const std::exception&) {
        // A handler ran out of memory: its connection is lost, the others
        // and the accept loop go on.
      }
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    if (io) io->stop();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
    acceptor.reset();
    retry.reset();
    work.reset();
    // Destroys every connection still waiting, closing its socket.
    io.reset();
  }
};

HttpListener::HttpListener(AccountService* service, FaultMode mode, const TlsFiles* tls,
                           const ConnectionLimits& limits, std::size_t threads)
    : service_(service),
      mode_(mode),
      tls_(tls != nullptr),
      tlsFiles_(tls != nullptr ? *tls : TlsFiles()),
      limits_(limits),
      threads_(threads > 0 ? threads : 1) {}

HttpListener::~HttpListener() { Stop(); }

bool HttpListener::Start(const std::string& host, int port, std::string* error) {
  Stop();
  try {
    auto impl = std::make_unique<Impl>();
    impl->maxOpen = limits_.connections > 0 ? limits_.connections : 1;
    if (tls_) {
      impl->tls.emplace(asio::ssl::context::tls_server);
      SSL_CTX* context = impl->tls->native_handle();
      SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
      long options = SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION;
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
      // A peer that hangs up without close_notify has simply ended, as over
      // plain TCP; it is neither a failed handshake nor a broken request.
      options |= SSL_OP_IGNORE_UNEXPECTED_EOF;
#endif
      SSL_CTX_set_options(context, options);
      error_code ec;
      impl->tls->use_certificate_chain_file(tlsFiles_.certificateFile, ec);
      if (!ec) impl->tls->use_private_key_file(tlsFiles_.privateKeyFile, asio::ssl::context::pem, ec);
      if (ec || SSL_CTX_check_private_key(context) != 1) {
        *error = "cannot use the TLS certificate and key";
        return false;
      }
    }
    UniqueFd socket;
    int bound = 0;
    if (!BindTcpSocket(host, port, &socket, &bound, error)) return false;
    if (::listen(socket.get(), SOMAXCONN) != 0) {
      *error = std::strerror(errno);
      return false;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      *error = std::strerror(errno);
      return false;
    }

    auto env = std::make_shared<ConnectionEnv>();
    env->limits = limits_;
    AccountService* const service = service_;
    const FaultMode mode = mode_;
    env->respond = [service, mode](const HttpRequestView& request) {
      return Respond(service, mode, request);
    };
    env->log = [service](const std::string& script, const std::string& outcome) {
      if (service != nullptr) service->LogUnserved(script, outcome);
    };
    impl->env = std::move(env);

    impl->io.emplace();
    impl->work.emplace(impl->io->get_executor());
    impl->acceptor.emplace(asio::make_strand(*impl->io));
    error_code ec;
    impl->acceptor->assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), socket.get(), ec);
    if (ec) {
      *error = ec.message();
      return false;
    }
    socket.Release();  // the acceptor owns it now
    impl->retry.emplace(impl->acceptor->get_executor());
    impl->Accept();
    for (std::size_t i = 0; i < threads_; ++i) {
      try {
        impl->threads.emplace_back([raw = impl.get()] { raw->Run(); });
      } catch (const std::system_error& failure) {
        // Fewer threads serve too; none at all does not.
        if (!impl->threads.empty()) break;
        *error = std::string("cannot start a thread: ") + failure.what();
        return false;
      }
    }
    port_ = bound;
    impl_ = std::move(impl);
    return true;
  } catch (const std::exception& failure) {
    // Out of memory, or an I/O object the system would not give.
    *error = failure.what();
    return false;
  }
}

void HttpListener::Stop() { impl_.reset(); }

}  // namespace devserver
