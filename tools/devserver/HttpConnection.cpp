#include "tools/devserver/HttpConnection.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <climits>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "facade/Records.h"
#include "wire/Vocabulary.h"

namespace devserver {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;

// Enough of a request to name its script in the log.
constexpr std::size_t kHeadKept = 512;
// The read buffer holds a whole head before it is parsed; past the head
// limit the parser refuses, so this only has to exceed it.
constexpr std::size_t kReadSlack = 16 * 1024;
constexpr std::size_t kFirstRead = 4096;
// After the last answer, how long to swallow what the peer still sends
// (an unread body, a pipelined request), so that closing does not reset
// the connection before the peer has read the answer. Never parsed.
constexpr auto kLinger = std::chrono::milliseconds(500);
constexpr std::size_t kLingerBytes = 4 << 20;

// Runs the listener's callback once the connection is gone, however it
// ended (even in a constructor that threw).
class Release {
 public:
  explicit Release(std::function<void()> done) : done_(std::move(done)) {}
  Release(Release&& other) noexcept : done_(std::move(other.done_)) { other.done_ = nullptr; }
  Release(const Release&) = delete;
  Release& operator=(const Release&) = delete;
  Release& operator=(Release&&) = delete;
  ~Release() {
    if (!done_) return;
    try {
      done_();
    } catch (const std::exception&) {
      // Out of memory re-arming the accept; nothing to do about it here.
    }
  }

 private:
  std::function<void()> done_;
};

std::string PeerText(const asio::ip::tcp::socket& socket) {
  error_code ec;
  const asio::ip::tcp::endpoint endpoint = socket.remote_endpoint(ec);
  if (ec) return "";
  const asio::ip::address address = endpoint.address();
  // A dual-stack listener sees IPv4 clients as "::ffff:a.b.c.d".
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

std::string PathOf(beast::string_view target) { return std::string(target.substr(0, target.find('?'))); }

std::string HttpStatusWords(int status) {
  return std::string(AttemptOutcomeName(AttemptOutcome::kHttpStatus)) + " " + std::to_string(status);
}

bool IsParseError(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category();
}

template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  template <typename... StreamArgs>
  Session(Release release, std::shared_ptr<const ConnectionEnv> env, std::string peer, StreamArgs&&... args)
      : release_(std::move(release)),
        env_(std::move(env)),
        limits_(env_->limits),
        peer_(std::move(peer)),
        stream_(std::forward<StreamArgs>(args)...),
        deadline_(stream_.get_executor()),
        buffer_(limits_.headBytes + kReadSlack),
        left_(std::max<std::size_t>(1, limits_.requestsPerConnection)) {}

  void Run() {
    if constexpr (kTls) {
      Lowest().expires_after(limits_.request);
      stream_.async_handshake(asio::ssl::stream_base::server, Bind(&Session::OnHandshake));
    } else {
      AwaitRequest(limits_.idle);
    }
  }

 private:
  template <typename Member>
  auto Bind(Member member) {
    return beast::bind_front_handler(member, this->shared_from_this());
  }

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  void OnHandshake(error_code ec) {
    // A failed handshake made no request, so the request log does not show it.
    if (ec) return Finish(false);
    handshakeDone_ = true;
    AwaitRequest(limits_.idle);
  }

  // The wait for a request's first byte, the only wait with no request begun.
  void AwaitRequest(std::chrono::milliseconds wait) {
    if (buffer_.size() > 0) return BeginRequest();  // pipelined
    Lowest().expires_after(wait);
    stream_.async_read_some(buffer_.prepare(kFirstRead), Bind(&Session::OnFirstBytes));
  }

  void OnFirstBytes(error_code ec, std::size_t n) {
    if (ec) return Finish(false);
    buffer_.commit(n);
    BeginRequest();
  }

  void BeginRequest() {
    // One deadline for the whole request: a trickling peer cannot renew it.
    // A timer of our own rather than the stream's, so the request is logged
    // before the peer can see the connection close.
    Lowest().expires_never();
    deadline_.expires_after(limits_.request);
    deadline_.async_wait(Bind(&Session::OnDeadline));
    reading_ = true;
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(limits_.headBytes, UINT32_MAX)));
    parser_->body_limit(static_cast<std::uint64_t>(limits_.bodyBytes));
    http::async_read_header(stream_, buffer_, *parser_, Bind(&Session::OnHeader));
  }

  void OnDeadline(error_code ec) {
    if (ec == asio::error::operation_aborted || !reading_) return;
    timedOut_ = true;
    Log("no response (request not complete within " + DescribeDuration(limits_.request) + ")");
    error_code ignored;
    Lowest().socket().shutdown(asio::socket_base::shutdown_both, ignored);
    Lowest().socket().close(ignored);  // the pending read ends, and with it the connection
  }

  void EndReading() {
    reading_ = false;
    deadline_.cancel();
  }

  void OnHeader(error_code ec, std::size_t) {
    if (ec || timedOut_) return Refuse(ec);
    const auto& request = parser_->get();
    if (!parser_->is_done() && beast::iequals(request[http::field::expect], "100-continue")) {
      continue_.emplace(http::status::continue_, request.version());
      http::async_write(stream_, *continue_, Bind(&Session::OnContinue));
      return;
    }
    ReadBody();
  }

  void OnContinue(error_code ec, std::size_t) {
    if (ec) return Refuse(ec);
    ReadBody();
  }

  void ReadBody() {
    if (parser_->is_done()) {
      EndReading();
      return Dispatch();
    }
    http::async_read(stream_, buffer_, *parser_, Bind(&Session::OnBody));
  }

  void OnBody(error_code ec, std::size_t) {
    if (ec || timedOut_) return Refuse(ec);
    EndReading();
    Dispatch();
  }

  // The script as the log names it, from the parsed target or, when the
  // head never completed, from its first bytes.
  std::string Script() const {
    if (parser_ && !parser_->get().target().empty()) return ScriptOfPath(PathOf(parser_->get().target()));
    const auto data = buffer_.data();
    return ScriptOfRequestHead(
        std::string(static_cast<const char*>(data.data()), std::min(data.size(), kHeadKept)));
  }

  void Log(const std::string& outcome) const {
    if (env_->log) env_->log(Script(), outcome);
  }

  // A request that did not pass: answered with its status where the peer
  // may still read one, cut off otherwise; either way the connection ends.
  void Refuse(error_code ec) {
    EndReading();
    if (timedOut_) return Finish(false);  // logged already
    const bool headDone = parser_->is_header_done();
    if (ec == http::error::body_limit && !headDone) {
      // Only a Content-Length fails the body limit with the head: announced
      // too large, said at once, before any of the body is read.
      Log(HttpStatusWords(413) + " (body over " + std::to_string(limits_.bodyBytes) + " bytes)");
      HttpReply reply;
      reply.status = 413;
      reply.body = "request body too large\n";
      return Answer(std::move(reply), 11, false);
    }
    if (ec == http::error::header_limit || (ec == http::error::buffer_overflow && !headDone)) {
      Log("no response (request head over " + std::to_string(limits_.headBytes) + " bytes)");
      return Finish(false);
    }
    if (ec == http::error::body_limit || ec == http::error::buffer_overflow) {
      Log("no response (request body over " + std::to_string(limits_.bodyBytes) + " bytes)");
      return Finish(false);
    }
    if (IsParseError(ec) && ec != http::error::end_of_stream) {
      // Malformed, or cut short by a peer that may still read.
      Log(HttpStatusWords(400));
      HttpReply reply;
      reply.status = 400;
      reply.body = "bad request\n";
      return Answer(std::move(reply), 11, false);
    }
    Finish(false);  // the peer is gone
  }

  void Dispatch() {
    auto& request = parser_->get();
    HttpRequestView view;
    view.method = std::string(request.method_string());
    view.path = PathOf(request.target());
    view.body = std::move(request.body());
    view.peer = peer_;
    HttpReply reply;
    try {
      reply = env_->respond(view);
    } catch (const std::exception&) {
      reply = HttpReply();
      reply.status = 500;
      reply.body = "internal server error\n";
    }
    --left_;
    // After a refusal the peer's framing is suspect: it gets no second request.
    const bool keep = request.keep_alive() && reply.status < 400 && left_ > 0;
    Answer(std::move(reply), request.version(), keep);
  }

  void Answer(HttpReply reply, unsigned version, bool keep) {
    response_.emplace();
    response_->version(version == 10 ? 10 : 11);
    response_->result(static_cast<unsigned>(reply.status));
    response_->set(http::field::content_type, reply.contentType);
    if (!reply.allow.empty()) response_->set(http::field::allow, reply.allow);
    response_->body() = std::move(reply.body);
    response_->keep_alive(keep);
    const auto idleSeconds = std::chrono::duration_cast<std::chrono::seconds>(limits_.keepAliveIdle).count();
    if (keep && idleSeconds > 0) {
      response_->set("Keep-Alive",
                     "timeout=" + std::to_string(idleSeconds) + ", max=" + std::to_string(left_));
    }
    response_->prepare_payload();
    serializer_.emplace(*response_);
    keep_ = keep;
    WriteSome();
  }

  // Each piece of the answer has its own deadline: a large answer to a
  // slow but reading peer is fine, a peer that stops reading is not.
  void WriteSome() {
    Lowest().expires_after(limits_.write);
    http::async_write_some(stream_, *serializer_, Bind(&Session::OnWrite));
  }

  void OnWrite(error_code ec, std::size_t) {
    if (ec) return Finish(false);
    if (!serializer_->is_done()) return WriteSome();
    serializer_.reset();
    response_.reset();
    continue_.reset();
    parser_.reset();
    if (keep_) return AwaitRequest(limits_.keepAliveIdle);
    Finish(true);
  }

  // Ends the connection: TLS politely, then TCP; with `linger`, swallows
  // what the peer still sends for a moment.
  void Finish(bool linger) {
    if constexpr (kTls) {
      if (handshakeDone_ && Lowest().socket().is_open()) {
        handshakeDone_ = false;
        linger_ = linger;
        Lowest().expires_after(kLinger);
        stream_.async_shutdown(Bind(&Session::OnTlsShutdown));
        return;
      }
    }
    CloseTcp(linger);
  }

  void OnTlsShutdown(error_code) { CloseTcp(linger_); }

  void CloseTcp(bool linger) {
    auto& socket = Lowest().socket();
    error_code ignored;
    if (!socket.is_open()) return;
    if (!linger) {
      socket.shutdown(asio::socket_base::shutdown_both, ignored);
      socket.close(ignored);
      return;
    }
    socket.shutdown(asio::socket_base::shutdown_send, ignored);
    Lowest().expires_after(kLinger);
    Drain();
  }

  void Drain() { Lowest().async_read_some(asio::buffer(discard_), Bind(&Session::OnDrain)); }

  void OnDrain(error_code ec, std::size_t n) {
    drained_ += n;
    if (!ec && drained_ < kLingerBytes) return Drain();
    error_code ignored;
    Lowest().socket().close(ignored);
  }

  Release release_;  // first in, last out: runs once the socket is closed
  const std::shared_ptr<const ConnectionEnv> env_;
  const ConnectionLimits& limits_;
  const std::string peer_;
  Stream stream_;
  asio::steady_timer deadline_;  // of the request being read
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::response<http::empty_body>> continue_;
  std::optional<http::response<http::string_body>> response_;
  std::optional<http::response_serializer<http::string_body>> serializer_;
  std::size_t left_;  // requests this connection may still make
  bool keep_ = false;
  bool reading_ = false;   // a request begun and not yet read whole
  bool timedOut_ = false;  // its deadline passed
  bool handshakeDone_ = false;
  bool linger_ = false;
  std::array<char, 4096> discard_{};
  std::size_t drained_ = 0;
};

}  // namespace

void ServeConnection(asio::ip::tcp::socket socket, asio::ssl::context* tls,
                     std::shared_ptr<const ConnectionEnv> env, std::function<void()> released) {
  Release release(std::move(released));
  try {
    std::string peer = PeerText(socket);
    if (tls != nullptr) {
      std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
          std::move(release), std::move(env), std::move(peer), std::move(socket), *tls)
          ->Run();
    } else {
      std::make_shared<Session<beast::tcp_stream>>(std::move(release), std::move(env), std::move(peer),
                                                   std::move(socket))
          ->Run();
    }
  } catch (const std::exception&) {
    // Out of memory or no TLS session to be had: this connection ends
    // (its socket closes here), the server goes on.
  }
}

std::string ScriptOfPath(const std::string& path) {
  static const std::string prefix = protocol::kScriptDirectory;
  constexpr std::size_t kShown = 80;
  std::string script = path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
  if (script.empty()) return "-";
  if (script.size() > kShown) script = script.substr(0, kShown) + "...";
  return script;
}

std::string ScriptOfRequestHead(const std::string& head) {
  const std::string line = head.substr(0, head.find_first_of("\r\n"));
  const std::string::size_type start = line.find(' ');
  if (start == std::string::npos) return "-";
  const std::string::size_type end = line.find_first_of(" ?", start + 1);
  return ScriptOfPath(line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1));
}

std::string DescribeDuration(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

}  // namespace devserver
