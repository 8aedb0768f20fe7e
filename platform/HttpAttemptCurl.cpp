// One HTTP attempt over libcurl.
//
// Bounds, and how each is kept:
//   - each TCP connect: timed from the moment its socket is opened (after
//     the name is resolved) until the socket has a peer, by the loop in Run;
//     a redirect's new connection starts a window of its own. libcurl's own
//     connect time-out would also cover name resolution and the TLS
//     handshake, which only the deadline bounds;
//   - the deadline: CURLOPT_TIMEOUT_MS over the whole transfer, redirects
//     included, and the loop in Run against the request's time point;
//   - a stall: the progress callback, once connected;
//   - the body: the header callback (announced length) and the write
//     callback (received bytes), before the bytes are held.
// The peer's certificate and host name are always verified; a secure request
// follows redirects to https only. HTTP/1.1 always, as WinINet speaks it: a
// server offering HTTP/2 through ALPN does not get it.
//
// Nothing is kept between attempts unless the request asks for reuse. Then a
// process-wide pool keeps, per host, port and scheme, multi handles that each
// hold one idle connection; an attempt takes one out, so no connection is
// ever used by two threads (libcurl's shared connection cache is not safe
// across threads), and puts it back afterwards. TLS sessions and resolved
// names are shared through a locked share handle. Handles idle past the
// bound are closed when the next attempt looks into the pool: no thread runs
// for it. These POSTs are not idempotent: libcurl's own retry of a request
// on a fresh connection is let through only when nothing was sent yet.
#if !defined(_WIN32)

#include <curl/curl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/HttpAttempt.h"

namespace {

using Clock = std::chrono::steady_clock;

struct CurlEasyCleanup {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlSlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlMultiCleanup {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlSlistFree>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;

// Keeps an easy handle attached to a multi handle for one scope.
class Attached {
 public:
  Attached(CURLM* multi, CURL* easy)
      : multi_(multi), easy_(easy), ok_(curl_multi_add_handle(multi, easy) == CURLM_OK) {}
  ~Attached() {
    if (ok_) curl_multi_remove_handle(multi_, easy_);
  }
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
  bool ok() const { return ok_; }

 private:
  CURLM* multi_;
  CURL* easy_;
  bool ok_;
};

struct CurlUrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlCleanup>;

// Scheme, host (IPv6 literals bracketed), port and path, each checked by
// libcurl's URL parser: a host that is not a name or an address literal
// cannot smuggle credentials, another host or a path into the request.
CurlUrl BuildUrl(const HttpAttemptRequest& request) {
  CurlUrl url(curl_url());
  if (!url || request.port <= 0 || request.port > 65535) return nullptr;
  const std::string host =
      request.host.find(':') != std::string::npos ? "[" + request.host + "]" : request.host;
  const std::string port = std::to_string(request.port);
  const std::string path = request.path.empty() || request.path[0] != '/' ? "/" + request.path : request.path;
  if (curl_url_set(url.get(), CURLUPART_SCHEME, request.secure ? "https" : "http", 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), CURLU_URLENCODE) != CURLUE_OK) {
    return nullptr;
  }
  return url;
}

// State shared with the libcurl callbacks during one attempt.
struct Transfer {
  const HttpAttemptRequest* request = nullptr;
  HttpAttemptResult* result = nullptr;

  // A failure a callback decided on; wins over the code libcurl reports.
  std::optional<AttemptOutcome> decided;
  bool outOfMemory = false;

  // The response being received: a status line starts a new one (an interim
  // 1xx, a redirect or the final one). libcurl parses the status and the
  // length; only the redirect's target is read here.
  CURL* easy = nullptr;
  bool headersComplete = false;
  bool finalHeaders = false;

  // The connection being made: when its first socket was opened.
  bool socketOpened = false;
  Clock::time_point socketOpenedAt;
  // The sockets libcurl is connecting with (more than one while it tries
  // an IPv6 and an IPv4 address side by side).
  std::vector<curl_socket_t> sockets;
  bool connected = false;
  Clock::time_point lastProgress = Clock::now();
  curl_off_t lastDownloaded = -1;
  curl_off_t lastUploaded = -1;

  // Reuse only: the request went out and no answer has begun since, so a
  // new connection now would send it a second time.
  bool awaitingAnswer = false;
};

// The transfer running on this thread, for the close-socket callback: a kept
// connection is closed long after the transfer that opened it has gone.
thread_local Transfer* runningTransfer = nullptr;

// At the end of a header block: go on (interim answer, redirect libcurl will
// follow, 200 within the bound) or stop the transfer with a decided failure.
bool HeadersEnd(Transfer& transfer) {
  transfer.headersComplete = true;
  long code = 0;
  curl_off_t announced = -1;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &code);
  curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
  const int status = static_cast<int>(code);
  if (status >= 100 && status < 200) return true;
  curl_header* location = nullptr;
  if (status >= 300 && status < 400 &&
      curl_easy_header(transfer.easy, "Location", 0, CURLH_HEADER, -1, &location) == CURLHE_OK) {
    // A relative target stays on the request's own scheme.
    if (transfer.request->secure && strncasecmp(location->value, "http:", 5) == 0) {
      transfer.decided = AttemptOutcome::kRedirectRefused;
      return false;
    }
    return true;
  }
  transfer.finalHeaders = true;
  transfer.result->status = status;
  if (status != 200) {
    transfer.decided = AttemptOutcome::kHttpStatus;
    return false;
  }
  if (announced >= 0 && static_cast<std::uint64_t>(announced) > transfer.request->maxBody) {
    transfer.decided = AttemptOutcome::kBodyTooBig;
    return false;
  }
  // Sized once: growing by doubling could hold up to twice a large body for
  // as long as the reply is kept. (A lying length costs at most the bound.)
  if (announced > 0) transfer.result->body.reserve(static_cast<std::size_t>(announced));
  return true;
}

// Only the ends of header blocks matter: libcurl parses the headers.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  transfer.lastProgress = Clock::now();
  if (bytes >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
    transfer.headersComplete = false;  // a new response: interim, redirect or final
    transfer.awaitingAnswer = false;
    return bytes;
  }
  if (transfer.headersComplete) return bytes;  // chunked trailers
  const bool blank = (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
  if (!blank) return bytes;
  try {
    return HeadersEnd(transfer) ? bytes : 0;
  } catch (const std::bad_alloc&) {
    transfer.outOfMemory = true;
    return 0;
  }
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string& body = transfer.result->body;
  if (bytes > transfer.request->maxBody || body.size() > transfer.request->maxBody - bytes) {
    transfer.decided = AttemptOutcome::kBodyTooBig;
    return 0;  // stop before holding the bytes
  }
  try {
    body.append(data, bytes);
  } catch (const std::bad_alloc&) {
    transfer.outOfMemory = true;
    return 0;
  }
  transfer.lastProgress = Clock::now();
  return bytes;
}

bool HasPeer(curl_socket_t socket) {
  sockaddr_storage peer;
  socklen_t length = sizeof peer;
  return ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
}

// Called when libcurl is about to open a socket: the name is resolved, and
// the TCP connect time-out starts here. A socket opened while another is
// still connecting belongs to the same connection (IPv6 and IPv4 tried side
// by side) and shares its window; any other starts a new connection (after
// a redirect), with a window of its own.
curl_socket_t OnOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  if (transfer.awaitingAnswer) {
    // A kept connection broke after the request went out: the service may
    // have acted on it (a recharge, a lease), so it is not sent again.
    transfer.decided = AttemptOutcome::kNoResponse;
    return CURL_SOCKET_BAD;
  }
  const bool sameConnection = transfer.socketOpened && !transfer.connected &&
                              std::any_of(transfer.sockets.begin(), transfer.sockets.end(),
                                          [](curl_socket_t s) { return !HasPeer(s); });
  if (!sameConnection) {
    transfer.socketOpened = true;
    transfer.connected = false;
    transfer.socketOpenedAt = Clock::now();
  }
  (void)purpose;
  const curl_socket_t socket = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (socket < 0) return CURL_SOCKET_BAD;
  try {
    transfer.sockets.push_back(socket);
  } catch (const std::bad_alloc&) {
    ::close(socket);
    transfer.outOfMemory = true;
    return CURL_SOCKET_BAD;
  }
  return socket;
}

int OnCloseSocket(void*, curl_socket_t socket) {
  if (Transfer* transfer = runningTransfer) {
    transfer->sockets.erase(std::remove(transfer->sockets.begin(), transfer->sockets.end(), socket),
                            transfer->sockets.end());
  }
  return ::close(socket);
}

// Reuse only: what goes out on the wire, to tell a re-send from a first send
// and a kept connection (no socket of this transfer's own) from a new one.
int OnDebug(CURL*, curl_infotype type, char*, size_t, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  if (type == CURLINFO_HEADER_OUT) {
    transfer.awaitingAnswer = true;
    transfer.connected = true;
  }
  return 0;
}

// A TCP connection is up once one of the sockets has a peer. (libcurl's own
// connect time is taken only after the TLS handshake.)
bool TcpConnected(const Transfer& transfer) {
  return std::any_of(transfer.sockets.begin(), transfer.sockets.end(), HasPeer);
}

int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  if (downloaded != transfer.lastDownloaded || uploaded != transfer.lastUploaded) {
    transfer.lastDownloaded = downloaded;
    transfer.lastUploaded = uploaded;
    transfer.lastProgress = Clock::now();
    return 0;
  }
  if (Clock::now() - transfer.lastProgress < transfer.request->stall) return 0;
  // The stall bound starts once connected; before, the connect time-out rules.
  if (!transfer.connected) {
    if (!TcpConnected(transfer)) return 0;
    transfer.connected = true;
  }
  transfer.decided = AttemptOutcome::kStall;
  return 1;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool Append(CurlList& list, const char* line) {
  curl_slist* grown = curl_slist_append(list.get(), line);
  if (grown == nullptr) return false;
  list.release();
  list.reset(grown);
  return true;
}

// The fixed header block, one line at a time, and no "Expect: 100-continue"
// round trip: the body goes out at once, as WinINet sends it.
bool RequestHeaders(CurlList& list) {
  const std::string block = kHttpRequestHeaders;
  std::size_t begin = 0;
  while (begin < block.size()) {
    const std::size_t end = block.find("\r\n", begin);
    if (!Append(list, block.substr(begin, end - begin).c_str())) return false;
    begin = end + 2;
  }
  return Append(list, kHttpNoCacheHeader) && Append(list, "Expect:");
}

// TLS sessions and resolved names shared by every kept-connection attempt,
// each kind under a lock of its own, as libcurl asks. Made once, never freed:
// handles may use it until the process ends.
class SessionShare {
 public:
  SessionShare() : share_(curl_share_init()) {
    if (share_ == nullptr) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, Lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, Unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  }
  CURLSH* get() const { return share_; }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<SessionShare*>(self)->locks_[Index(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<SessionShare*>(self)->locks_[Index(data)].unlock();
  }
  static std::size_t Index(curl_lock_data data) {
    return static_cast<std::size_t>(data) < CURL_LOCK_DATA_LAST ? static_cast<std::size_t>(data) : 0;
  }
  CURLSH* share_;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
};

CURLSH* SharedSessions() {
  static SessionShare* share = new SessionShare();
  return share->get();
}

// Multi handles holding one idle connection each, per host, port and scheme.
class ConnectionPool {
 public:
  using Key = std::tuple<std::string, int, bool>;
  // Enough for an application's threads to each keep one per server;
  // beyond it the oldest are closed.
  static constexpr std::size_t kMaxKept = 64;

  // A handle for `key`: the most recently kept one when it idled for at most
  // `idle`, else a new one. Handles idle past `idle` are closed on the way.
  CurlMulti Take(const Key& key, std::chrono::milliseconds idle) {
    std::vector<CurlMulti> expired;  // closed outside the lock
    CurlMulti taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const Clock::time_point now = Clock::now();
      for (auto it = kept_.begin(); it != kept_.end();) {
        if (now - it->since > idle) {
          expired.push_back(std::move(it->multi));
          it = kept_.erase(it);
        } else {
          ++it;
        }
      }
      for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
        if (it->key == key) {
          taken = std::move(it->multi);
          kept_.erase(std::next(it).base());
          break;
        }
      }
    }
    if (!taken) {
      taken.reset(curl_multi_init());
      if (taken) curl_multi_setopt(taken.get(), CURLMOPT_MAXCONNECTS, 1L);
    }
    return taken;
  }

  void Keep(const Key& key, CurlMulti multi) {
    if (!multi) return;
    CurlMulti oldest;
    std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() >= kMaxKept) {
      oldest = std::move(kept_.front().multi);
      kept_.erase(kept_.begin());
    }
    kept_.push_back({key, std::move(multi), Clock::now()});
  }

 private:
  struct Kept {
    Key key;
    CurlMulti multi;
    Clock::time_point since;
  };
  std::mutex mutex_;
  std::vector<Kept> kept_;  // oldest first
};

ConnectionPool& Pool() {
  static ConnectionPool* pool = new ConnectionPool();
  return *pool;
}

bool Configure(CURL* curl, const HttpAttemptRequest& request, CURLU* url, curl_slist* headers,
               Transfer& transfer) {
  bool ok = true;
  auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  set(curl_easy_setopt(curl, CURLOPT_CURLU, url));
  set(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, request.secure ? "https" : "http,https"));
  set(curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, request.secure ? "https" : "http,https"));
  // Stated rather than left to defaults: nothing may weaken them. They also
  // cover a plain request redirected to https.
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
  if (!request.caBundle.empty()) {
    // The built-in CA directory would still be consulted beside the file.
    set(curl_easy_setopt(curl, CURLOPT_CAINFO, request.caBundle.c_str()));
    set(curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<const char*>(nullptr)));
  }
  // A direct connection, whatever the environment's proxy variables say.
  set(curl_easy_setopt(curl, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(curl, CURLOPT_NOPROXY, "*"));
  set(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
  if (request.reuse) {
    // Connection, TLS session and name kept for the next attempt; a kept
    // connection idle past the bound is not taken (the pool sees to it with
    // millisecond precision; this is libcurl's own, in whole seconds).
    set(curl_easy_setopt(curl, CURLOPT_SHARE, SharedSessions()));
    set(curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN,
                         static_cast<long>(std::max<std::int64_t>(1, (request.idle.count() + 999) / 1000))));
    set(curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug));
    set(curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &transfer));
    set(curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L));
  } else {
    // Nothing of one attempt is kept for the next: no connection, no
    // resolved name, no parsed CA store (a bundle replaced on disk applies
    // at once).
    set(curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L));
    set(curl_easy_setopt(curl, CURLOPT_DNS_CACHE_TIMEOUT, 0L));
  }
#if LIBCURL_VERSION_NUM >= 0x075700  // 7.87.0 keeps CA stores in the multi handle
  // Not checked: a libcurl without TLS knows no CA store and may refuse it.
  (void)curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
  set(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers));
  if (!request.userAgent.empty()) set(curl_easy_setopt(curl, CURLOPT_USERAGENT, request.userAgent.c_str()));
  set(curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size())));
  set(curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data()));
  // Redirects as WinINet follows them: 301, 302 and 303 turn into GET.
  set(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
  set(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(kMaxHttpRedirects)));
  set(curl_easy_setopt(curl, CURLOPT_POSTREDIR, 0L));
  // Name resolution, connect and handshake are bounded by the deadline; the
  // TCP connect alone by the connect time-out, which Run keeps.
  // Rounded up: libcurl must not end the attempt before its deadline.
  const long leftMs = static_cast<long>(std::max<std::int64_t>(
      1, std::chrono::ceil<std::chrono::milliseconds>(request.deadline - Clock::now()).count()));
  set(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, leftMs));
  set(curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, leftMs));
  set(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader));
  set(curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody));
  set(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket));
  set(curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_CLOSESOCKETFUNCTION, OnCloseSocket));
  set(curl_easy_setopt(curl, CURLOPT_CLOSESOCKETDATA, nullptr));
  set(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress));
  set(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
  return ok;
}

// Runs the transfer. libcurl's own blocking loop wakes only about once a
// second while nothing arrives, which would stretch the short bounds; this
// loop wakes often enough to keep them to a few tens of milliseconds.
CURLcode Run(CURLM* multiHandle, CURL* easy, Transfer& transfer) {
  if (multiHandle == nullptr) return CURLE_OUT_OF_MEMORY;
  struct Running {
    explicit Running(Transfer* transfer) { runningTransfer = transfer; }
    ~Running() { runningTransfer = nullptr; }
  } running(&transfer);
  Attached attached(multiHandle, easy);
  if (!attached.ok()) return CURLE_FAILED_INIT;
  const HttpAttemptRequest& request = *transfer.request;
  // Short enough that a cancel is seen well within 100 ms.
  const long wakeMs =
      std::clamp<long>(static_cast<long>(std::min(request.stall, request.connectWindow).count()) / 8, 5, 40);
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multiHandle, &running) != CURLM_OK) return CURLE_FAILED_INIT;
    if (running == 0) break;
    if (request.cancelled && request.cancelled()) {
      transfer.decided = AttemptOutcome::kCancelled;
      return CURLE_ABORTED_BY_CALLBACK;
    }
    const Clock::time_point now = Clock::now();
    if (now >= request.deadline) {
      transfer.decided = AttemptOutcome::kDeadline;
      return CURLE_OPERATION_TIMEDOUT;
    }
    // Asked only once the time is up: a connect that ends (or fails) sooner
    // costs no extra system call.
    if (!transfer.connected && transfer.socketOpened &&
        now - transfer.socketOpenedAt >= request.connectWindow) {
      if (!TcpConnected(transfer)) {
        transfer.decided = AttemptOutcome::kConnectTimeout;
        return CURLE_OPERATION_TIMEDOUT;
      }
      transfer.connected = true;
    }
    if (curl_multi_poll(multiHandle, nullptr, 0, static_cast<int>(wakeMs), nullptr) != CURLM_OK)
      return CURLE_FAILED_INIT;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multiHandle, &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) return message->data.result;
  }
  return CURLE_FAILED_INIT;
}

std::optional<AttemptOutcome> Classify(CURLcode code, const Transfer& transfer) {
  if (transfer.decided) return transfer.decided;
  switch (code) {
    case CURLE_OK:
      if (transfer.finalHeaders) return std::nullopt;
      return AttemptOutcome::kNoResponse;
    case CURLE_COULDNT_RESOLVE_HOST:
      return AttemptOutcome::kNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return AttemptOutcome::kRefused;
    case CURLE_OPERATION_TIMEDOUT:
      return AttemptOutcome::kDeadline;
    case CURLE_TOO_MANY_REDIRECTS:
      return AttemptOutcome::kTooManyRedirects;
    case CURLE_UNSUPPORTED_PROTOCOL:
      // Only a redirect can bring a scheme the request did not allow.
      return transfer.request->secure ? AttemptOutcome::kRedirectRefused : AttemptOutcome::kSetupFailed;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
      return AttemptOutcome::kTls;
    case CURLE_SEND_ERROR:
      return transfer.headersComplete ? AttemptOutcome::kCutShort : AttemptOutcome::kSendFailed;
    case CURLE_GOT_NOTHING:
      return AttemptOutcome::kNoResponse;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_BAD_CONTENT_ENCODING:
      return transfer.finalHeaders ? AttemptOutcome::kCutShort : AttemptOutcome::kNoResponse;
    case CURLE_URL_MALFORMAT:
    case CURLE_FAILED_INIT:
      return AttemptOutcome::kSetupFailed;
    default:
      return transfer.finalHeaders ? AttemptOutcome::kCutShort : AttemptOutcome::kNoResponse;
  }
}

}  // namespace

HttpAttemptResult PerformHttpAttempt(const HttpAttemptRequest& request) {
  HttpAttemptResult result;
  if (request.cancelled && request.cancelled()) {
    result.failure = AttemptOutcome::kCancelled;
    return result;
  }
  if (AttemptClock::now() >= request.deadline) {
    result.failure = AttemptOutcome::kDeadline;
    return result;
  }
  const CurlUrl url = BuildUrl(request);
  if (!url) return result;
  InitCurlOnce();
  CurlList headers;
  if (!RequestHeaders(headers)) throw std::bad_alloc();
  CurlEasy curl(curl_easy_init());
  if (!curl) return result;
  Transfer transfer;
  transfer.easy = curl.get();
  transfer.request = &request;
  transfer.result = &result;
  if (!Configure(curl.get(), request, url.get(), headers.get(), transfer)) return result;

  CURLcode code;
  if (request.reuse) {
    const ConnectionPool::Key key(request.host, request.port, request.secure);
    CurlMulti multi = Pool().Take(key, request.idle);
    code = Run(multi.get(), curl.get(), transfer);
    long connects = -1;
    curl_easy_getinfo(curl.get(), CURLINFO_NUM_CONNECTS, &connects);
    result.reused = code == CURLE_OK && connects == 0;
    Pool().Keep(key, std::move(multi));
  } else {
    // One multi handle per thread, kept between attempts: setting one up
    // costs a socket pair each time. Nothing of an attempt stays in it.
    thread_local CurlMulti multi;
    if (!multi) multi.reset(curl_multi_init());
    code = Run(multi.get(), curl.get(), transfer);
  }
  if (transfer.outOfMemory || code == CURLE_OUT_OF_MEMORY) throw std::bad_alloc();
  result.failure = Classify(code, transfer);
  if (result.failure) {
    result.body.clear();
    result.body.shrink_to_fit();
  } else if (result.body.capacity() - result.body.size() > result.body.size() / 8 + 65536) {
    result.body.shrink_to_fit();  // a body without a length grew by doubling
  }
  return result;
}

#endif  // !_WIN32
