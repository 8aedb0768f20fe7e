// The WinINet functions the exchange uses, over libcurl's easy interface.
//
// Handles are heap objects kept in a process-wide registry; an HINTERNET is
// the object's address, and only registered addresses are ever dereferenced,
// so a stale or foreign handle is refused instead of crashing. A child holds
// its parent's state by shared ownership: closing a parent first is harmless.
//
// Options map onto libcurl as follows (on Windows the same options bound
// receives in WinINet itself):
//   INTERNET_OPTION_CONNECT_TIMEOUT (ms)       -> CURLOPT_CONNECTTIMEOUT_MS
//   INTERNET_OPTION_RECEIVE_TIMEOUT (ms)       -> no progress for that long,
//       once connected, aborts the transfer (progress callback)
//   INTERNET_OPTION_DATA_RECEIVE_TIMEOUT (ms)  -> CURLOPT_TIMEOUT_MS, the
//       whole transfer (this layer's reading of the option)
//   INTERNET_OPTION_MAX_RESPONSE_BODY (bytes)  -> enforced while receiving
//   INTERNET_OPTION_CA_BUNDLE (PEM file path)  -> CURLOPT_CAINFO, with the
//       built-in CA directory switched off so the file alone is trusted
// An option set on an internet or connection handle applies to the requests
// under it unless the request sets its own. A value of 0 means no bound.
//
// As with WinINet, HttpSendRequestA fails only when no final response header
// block arrived; a body that breaks off later is reported by InternetReadFile
// failing once the bytes that did arrive are consumed.
//
// TLS: a request opened with INTERNET_FLAG_SECURE goes to an "https" URL.
// The peer's certificate and host name are always verified, against the
// system's trust store or the CA bundle set on a handle; there is no way to
// turn that off. A secure request follows redirects to "https" only, so a
// server cannot move the request (and its credentials) to clear text.
#if !defined(_WIN32)

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/WinInet.h"
#include "platform/WinInetTestHooks.h"

namespace {

// WinINet follows at most this many redirects for one request.
constexpr long kMaxRedirects = 10;

struct Options {
  std::optional<DWORD> connectMs;
  std::optional<DWORD> stallMs;
  std::optional<DWORD> transferMs;
  std::optional<std::uint64_t> maxBody;
  std::optional<std::string> caBundle;  // empty text: the system store
};

enum class Kind { kInternet, kConnection, kRequest };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  const Kind kind;
  Options options;  // guarded by OptionsMutex()
};

struct InternetSession : Handle {
  InternetSession() : Handle(Kind::kInternet) {}
  std::string agent;  // empty: no User-Agent header
};

struct Connection : Handle {
  Connection() : Handle(Kind::kConnection) {}
  std::shared_ptr<InternetSession> session;
  std::string host;
  INTERNET_PORT port = 0;
};

// What the last HttpSendRequestA left for HttpQueryInfoA and InternetReadFile.
struct Response {
  bool available = false;
  DWORD status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::size_t readPosition = 0;
  bool transferError = false;
};

struct Request : Handle {
  Request() : Handle(Kind::kRequest) {}
  std::shared_ptr<Connection> connection;
  std::string verb;
  std::string object;
  std::string referrer;
  std::string acceptTypes;
  DWORD flags = 0;
  Response response;
};

// Leaked on purpose: handles may be closed from other libraries' exit-time
// destructors, after this file's statics would be gone.
class Registry {
 public:
  static Registry& Instance() {
    static Registry* registry = new Registry;
    return *registry;
  }

  HINTERNET Add(std::shared_ptr<Handle> handle) {
    HINTERNET key = handle.get();
    std::lock_guard<std::mutex> lock(mutex_);
    live_.emplace(key, std::move(handle));
    return key;
  }

  std::shared_ptr<Handle> Find(HINTERNET key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(key);
    return it == live_.end() ? nullptr : it->second;
  }

  template <typename T>
  std::shared_ptr<T> Find(HINTERNET key, Kind kind) {
    std::shared_ptr<Handle> handle = Find(key);
    if (!handle || handle->kind != kind) return nullptr;
    return std::static_pointer_cast<T>(handle);
  }

  // The object itself may live on while a child or a running call holds it.
  bool Remove(HINTERNET key) {
    std::shared_ptr<Handle> doomed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(key);
    if (it == live_.end()) return false;
    doomed = std::move(it->second);
    live_.erase(it);
    return true;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<const void*, std::shared_ptr<Handle>> live_;
};

std::mutex& OptionsMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::mutex& ObserverMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

WinInetRequestObserver& Observer() {
  static WinInetRequestObserver* observer = new WinInetRequestObserver;
  return *observer;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool IsNameChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
         c == '_';
}

// Only names and address literals: anything else could smuggle credentials,
// another host or a path into the URL.
bool IsValidHost(const std::string& host) {
  if (host.empty()) return false;
  if (host.find(':') != std::string::npos) {
    return std::all_of(host.begin(), host.end(),
                       [](char c) { return IsHexDigit(c) || c == ':' || c == '.'; });
  }
  return std::all_of(host.begin(), host.end(), IsNameChar);
}

// Folds CR, LF and other control bytes out of a header value.
std::string WithoutControlBytes(const char* text) {
  std::string clean;
  if (text == nullptr) return clean;
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != 0x7F) clean.push_back(*p);
  }
  return clean;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

bool EqualsIgnoreCase(const std::string& a, const char* b) {
  const std::size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Announced body length of a response, when it is a plain decimal number.
std::optional<std::uint64_t> ContentLength(const Response& response) {
  std::optional<std::uint64_t> length;
  for (const auto& header : response.headers) {
    if (!EqualsIgnoreCase(header.first, "Content-Length")) continue;
    const std::string& text = header.second;
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (length && *length != value) return std::nullopt;  // conflicting
    length = value;
  }
  return length;
}

bool HasHeader(const Response& response, const char* name) {
  for (const auto& header : response.headers) {
    if (EqualsIgnoreCase(header.first, name)) return true;
  }
  return false;
}

template <typename T>
std::optional<T> Nearest(const std::optional<T>& request, const std::optional<T>& connection,
                         const std::optional<T>& session) {
  if (request) return request;
  if (connection) return connection;
  return session;
}

WinInetRequestSettings ResolveSettings(const Request& request, const std::string& url) {
  std::lock_guard<std::mutex> lock(OptionsMutex());
  const Options& r = request.options;
  const Options& c = request.connection->options;
  const Options& s = request.connection->session->options;
  WinInetRequestSettings settings;
  settings.url = url;
  settings.verb = request.verb;
  settings.connectTimeoutMs = Nearest(r.connectMs, c.connectMs, s.connectMs).value_or(0);
  settings.stallTimeoutMs = Nearest(r.stallMs, c.stallMs, s.stallMs).value_or(0);
  settings.transferTimeoutMs = Nearest(r.transferMs, c.transferMs, s.transferMs).value_or(0);
  settings.maxResponseBody = Nearest(r.maxBody, c.maxBody, s.maxBody).value_or(0);
  settings.followRedirects = (request.flags & INTERNET_FLAG_NO_AUTO_REDIRECT) == 0;
  return settings;
}

// The CA bundle of a request: the nearest handle that set one.
std::string ResolveCaBundle(const Request& request) {
  std::lock_guard<std::mutex> lock(OptionsMutex());
  return Nearest(request.options.caBundle, request.connection->options.caBundle,
                 request.connection->session->options.caBundle)
      .value_or(std::string());
}

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

bool Append(CurlList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) return false;
  list.release();
  list.reset(grown);
  return true;
}

// Splits the caller's header block into lines; every CR or LF ends a line,
// so no header can carry a line break onto the wire.
bool ParseExtraHeaders(LPCSTR headers, DWORD headersLength, CurlList& list) {
  if (headers == nullptr) return headersLength == 0 || headersLength == static_cast<DWORD>(-1);
  const std::size_t length = headersLength == static_cast<DWORD>(-1) ? std::strlen(headers) : headersLength;
  std::string line;
  for (std::size_t i = 0; i <= length; ++i) {
    const char c = i < length ? headers[i] : '\n';
    if (c != '\r' && c != '\n') {
      if (c == '\0') return false;
      line.push_back(c);
      continue;
    }
    if (line.empty()) continue;
    if (line.find(':') == std::string::npos || line[0] == ':') return false;
    if (!Append(list, line)) return false;
    line.clear();
  }
  return true;
}

// State shared with the libcurl callbacks during one transfer.
struct Transfer {
  Response* response = nullptr;
  bool followRedirects = true;
  std::uint64_t maxBody = 0;
  DWORD stallMs = 0;

  bool headersComplete = false;
  bool redirectPending = false;  // a 3xx with Location that curl will follow
  bool outOfMemory = false;
  bool connected = false;
  std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
  curl_off_t lastDownloaded = -1;
  curl_off_t lastUploaded = -1;

  void Progressed() { lastProgress = std::chrono::steady_clock::now(); }
};

// A status line starts a new response (an interim 1xx, a redirect or the
// final one): only the last response's headers and body are kept.
void StartResponse(Transfer& transfer, const std::string& statusLine) {
  Response& response = *transfer.response;
  response.headers.clear();
  response.body.clear();
  response.status = 0;
  transfer.headersComplete = false;
  transfer.redirectPending = false;
  const std::size_t space = statusLine.find(' ');
  if (space == std::string::npos) return;
  DWORD status = 0;
  std::size_t digits = 0;
  for (std::size_t i = space + 1; i < statusLine.size() && digits < 3; ++i, ++digits) {
    const char c = statusLine[i];
    if (c < '0' || c > '9') return;
    status = status * 10 + static_cast<DWORD>(c - '0');
  }
  if (digits == 3) response.status = status;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  try {
    transfer.Progressed();
    const std::string line(data, bytes);
    if (line.compare(0, 5, "HTTP/") == 0) {
      StartResponse(transfer, line);
      return bytes;
    }
    if (transfer.headersComplete) return bytes;  // chunked trailers: not headers
    Response& response = *transfer.response;
    const std::string trimmed = Trim(line);
    if (trimmed.empty()) {
      transfer.headersComplete = true;
      const DWORD status = response.status;
      if (status >= 100 && status < 200) return bytes;  // an interim response
      if (transfer.followRedirects && status >= 300 && status < 400 && HasHeader(response, "Location")) {
        transfer.redirectPending = true;
        return bytes;
      }
      // The body of any final status but 200 is of no use to the caller.
      if (status != 200) return 0;
      const std::optional<std::uint64_t> announced = ContentLength(response);
      if (transfer.maxBody != 0 && announced && *announced > transfer.maxBody) return 0;
      return bytes;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !response.headers.empty()) {
      response.headers.back().second += " " + trimmed;  // folded continuation
      return bytes;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return bytes;
    response.headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
    return bytes;
  } catch (const std::bad_alloc&) {
    transfer.outOfMemory = true;
    return 0;
  }
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  Response& response = *transfer.response;
  if (response.status != 200) return 0;
  if (transfer.maxBody != 0 &&
      (bytes > transfer.maxBody || response.body.size() > transfer.maxBody - bytes)) {
    return 0;  // over the bound: stop before holding the bytes
  }
  try {
    response.body.append(data, bytes);
  } catch (const std::bad_alloc&) {
    transfer.outOfMemory = true;
    return 0;
  }
  transfer.Progressed();
  return bytes;
}

// Called once a connection is up (or reused) and before the request goes out:
// the stall clock runs from here, the connect time-out before.
int OnConnected(void* user, char*, char*, int, int) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  transfer.connected = true;
  transfer.Progressed();
  return CURL_PREREQFUNC_OK;
}

int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  Transfer& transfer = *static_cast<Transfer*>(user);
  if (downloaded != transfer.lastDownloaded || uploaded != transfer.lastUploaded) {
    transfer.lastDownloaded = downloaded;
    transfer.lastUploaded = uploaded;
    transfer.Progressed();
    return 0;
  }
  if (!transfer.connected || transfer.stallMs == 0) return 0;
  const auto idle = std::chrono::steady_clock::now() - transfer.lastProgress;
  return idle >= std::chrono::milliseconds(transfer.stallMs) ? 1 : 0;
}

// Sets every option of one transfer; false when libcurl refuses one.
bool Configure(CURL* curl, const Request& request, const WinInetRequestSettings& settings,
               const std::string& caBundle, const std::string& body, curl_slist* headers,
               Transfer& transfer) {
  bool ok = true;
  auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
  const bool secure = (request.flags & INTERNET_FLAG_SECURE) != 0;
  set(curl_easy_setopt(curl, CURLOPT_URL, settings.url.c_str()));
  set(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http,https"));
  // A secure request never falls back to clear text through a redirect.
  set(curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https"));
  // Stated rather than left to defaults: nothing else in this layer may
  // weaken them. They also cover a plain request redirected to "https".
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
  if (!caBundle.empty()) {
    // The built-in CA directory would still be consulted next to the file;
    // without it the bundle replaces the system store, as configured.
    set(curl_easy_setopt(curl, CURLOPT_CAINFO, caBundle.c_str()));
    set(curl_easy_setopt(curl, CURLOPT_CAPATH, static_cast<const char*>(nullptr)));
  }
  // A direct connection, whatever the environment's proxy variables say.
  set(curl_easy_setopt(curl, CURLOPT_PROXY, ""));
  set(curl_easy_setopt(curl, CURLOPT_NOPROXY, "*"));
  set(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
  // The multi handle outlives the transfer (see Perform); as with a fresh
  // one, no connection, resolved name or parsed CA store is kept for the
  // next request (a CA bundle replaced on disk takes effect at once).
  set(curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L));
  set(curl_easy_setopt(curl, CURLOPT_DNS_CACHE_TIMEOUT, 0L));
#if LIBCURL_VERSION_NUM >= 0x075700  // 7.87.0 keeps CA stores in the multi handle
  // Not checked: a libcurl without TLS knows no CA store and may refuse it.
  (void)curl_easy_setopt(curl, CURLOPT_CA_CACHE_TIMEOUT, 0L);
#endif
  set(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers));
  const std::string& agent = request.connection->session->agent;
  if (!agent.empty()) set(curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str()));
  if (!request.referrer.empty()) set(curl_easy_setopt(curl, CURLOPT_REFERER, request.referrer.c_str()));

  if (request.verb == "GET") {
    set(curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L));
  } else if (request.verb == "HEAD") {
    set(curl_easy_setopt(curl, CURLOPT_NOBODY, 1L));
  } else {
    set(curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
    set(curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data()));
    if (request.verb != "POST") {
      set(curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.verb.c_str()));
    }
  }

  // Redirects as WinINet follows them: 301/302/303 turn into GET.
  set(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, settings.followRedirects ? 1L : 0L));
  set(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects));
  set(curl_easy_setopt(curl, CURLOPT_POSTREDIR, 0L));

  if (settings.connectTimeoutMs != 0) {
    set(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs)));
  }
  if (settings.transferTimeoutMs != 0) {
    set(curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(settings.transferTimeoutMs)));
  }

  set(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader));
  set(curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody));
  set(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnConnected));
  set(curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress));
  set(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer));
  set(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
  return ok;
}

// Runs the transfer. libcurl's own blocking loop wakes only about once a
// second while nothing arrives, which would stretch a short stall bound; this
// loop wakes often enough for the progress callback to see the stall soon
// after its bound. Every pass makes progress or waits, and the transfer ends
// on completion, failure or one of the time bounds.
CURLcode Perform(CURL* easy, DWORD stallMs) {
  // One multi handle per thread, kept between transfers: setting one up and
  // tearing it down (a socket pair each time) cost a failed connection
  // attempt about a third again. Nothing of a transfer stays in it: every
  // transfer forbids connection reuse and name caching (see Configure).
  thread_local CurlMulti multi;
  if (!multi) multi.reset(curl_multi_init());
  if (!multi) return CURLE_OUT_OF_MEMORY;
  Attached attached(multi.get(), easy);
  if (!attached.ok()) return CURLE_FAILED_INIT;
  const int wakeMs = stallMs == 0 ? 1000 : static_cast<int>(std::clamp<DWORD>(stallMs / 4, 10, 250));
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) return CURLE_FAILED_INIT;
    if (running == 0) break;
    if (curl_multi_poll(multi.get(), nullptr, 0, wakeMs, nullptr) != CURLM_OK) {
      return CURLE_FAILED_INIT;
    }
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == easy) return message->data.result;
  }
  return CURLE_FAILED_INIT;
}

BOOL SetDwordOption(Handle& handle, DWORD option, DWORD value) {
  std::lock_guard<std::mutex> lock(OptionsMutex());
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      handle.options.connectMs = value;
      return TRUE;
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      handle.options.stallMs = value;
      return TRUE;
    case INTERNET_OPTION_DATA_RECEIVE_TIMEOUT:
      handle.options.transferMs = value;
      return TRUE;
    case INTERNET_OPTION_MAX_RESPONSE_BODY:
      handle.options.maxBody = value;
      return TRUE;
    default:
      return FALSE;  // not supported by this layer: say so rather than ignore it
  }
}

void AppendEscaped(std::string& url, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  url.push_back('%');
  url.push_back(kHex[c >> 4]);
  url.push_back(kHex[c & 0x0F]);
}

}  // namespace

void SetWinInetRequestObserver(WinInetRequestObserver observer) {
  std::lock_guard<std::mutex> lock(ObserverMutex());
  Observer() = std::move(observer);
}

std::string BuildWinInetUrl(const std::string& host, INTERNET_PORT port, const std::string& object,
                            bool secure) {
  if (!IsValidHost(host)) return std::string();
  // Verification and the trust store are set per transfer (Configure).
  std::string url = secure ? "https://" : "http://";
  if (host.find(':') != std::string::npos) {
    url += "[" + host + "]";
  } else {
    url += host;
  }
  if (port == 0) port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  url += ":" + std::to_string(port);
  if (object.empty() || object[0] != '/') url.push_back('/');
  for (char ch : object) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return std::string();
    if (c == ' ' || c == '#' || c > 0x7E) {
      AppendEscaped(url, c);
    } else {
      url.push_back(ch);
    }
  }
  return url;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  if (handle == nullptr) return FALSE;
  return Registry::Instance().Remove(handle) ? TRUE : FALSE;
}

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD flags) {
  // Only direct connections exist here; a proxy request cannot be honoured.
  if (accessType != INTERNET_OPEN_TYPE_DIRECT || flags != 0) return nullptr;
  if ((proxy != nullptr && *proxy != '\0') || (proxyBypass != nullptr && *proxyBypass != '\0')) {
    return nullptr;
  }
  InitCurlOnce();
  auto session = std::make_shared<InternetSession>();
  session->agent = WithoutControlBytes(agent);
  return Registry::Instance().Add(std::move(session));
}

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
  std::shared_ptr<Handle> target = Registry::Instance().Find(handle);
  if (!target || buffer == nullptr) return FALSE;
  if (option == INTERNET_OPTION_CA_BUNDLE) {
    std::string path(static_cast<const char*>(buffer), bufferLength);
    // A terminator counted in the length is tolerated; a zero byte inside
    // would silently cut the path short, so it is refused.
    if (!path.empty() && path.back() == '\0') path.pop_back();
    if (path.find('\0') != std::string::npos) return FALSE;
    std::lock_guard<std::mutex> lock(OptionsMutex());
    target->options.caBundle = std::move(path);
    return TRUE;
  }
  if (option == INTERNET_OPTION_MAX_RESPONSE_BODY && bufferLength == sizeof(std::uint64_t)) {
    std::uint64_t value = 0;
    std::memcpy(&value, buffer, sizeof value);
    std::lock_guard<std::mutex> lock(OptionsMutex());
    target->options.maxBody = value;
    return TRUE;
  }
  if (bufferLength != sizeof(DWORD)) return FALSE;
  DWORD value = 0;
  std::memcpy(&value, buffer, sizeof value);
  return SetDwordOption(*target, option, value);
}

HINTERNET InternetConnectA(HINTERNET internet, LPCSTR serverName, INTERNET_PORT serverPort, LPCSTR userName,
                           LPCSTR password, DWORD service, DWORD flags, DWORD_PTR context) {
  (void)flags;
  (void)context;
  auto session = Registry::Instance().Find<InternetSession>(internet, Kind::kInternet);
  if (!session || serverName == nullptr || service != INTERNET_SERVICE_HTTP) return nullptr;
  // Credentials are not supported; refusing beats sending the request without them.
  if ((userName != nullptr && *userName != '\0') || (password != nullptr && *password != '\0')) {
    return nullptr;
  }
  if (!IsValidHost(serverName)) return nullptr;
  auto connection = std::make_shared<Connection>();
  connection->session = std::move(session);
  connection->host = serverName;
  connection->port = serverPort;
  return Registry::Instance().Add(std::move(connection));
}

HINTERNET HttpOpenRequestA(HINTERNET connection, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR context) {
  (void)version;  // HTTP/1.1, as WinINet uses by default
  (void)context;
  auto parent = Registry::Instance().Find<Connection>(connection, Kind::kConnection);
  if (!parent) return nullptr;
  auto request = std::make_shared<Request>();
  request->connection = std::move(parent);
  request->verb = (verb == nullptr || *verb == '\0') ? "GET" : verb;
  if (!std::all_of(request->verb.begin(), request->verb.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
    return nullptr;
  }
  request->object = objectName == nullptr ? "/" : objectName;
  request->referrer = WithoutControlBytes(referrer);
  if (acceptTypes != nullptr) {
    for (LPCSTR* type = acceptTypes; *type != nullptr; ++type) {
      const std::string clean = WithoutControlBytes(*type);
      if (clean.empty()) continue;
      if (!request->acceptTypes.empty()) request->acceptTypes += ", ";
      request->acceptTypes += clean;
    }
  }
  request->flags = flags;
  return Registry::Instance().Add(std::move(request));
}

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength) {
  auto target = Registry::Instance().Find<Request>(request, Kind::kRequest);
  if (!target) return FALSE;
  Response& response = target->response;
  response = Response();
  if (optional == nullptr && optionalLength != 0) return FALSE;

  const std::string url = BuildWinInetUrl(target->connection->host, target->connection->port, target->object,
                                          (target->flags & INTERNET_FLAG_SECURE) != 0);
  if (url.empty()) return FALSE;
  const WinInetRequestSettings settings = ResolveSettings(*target, url);
  {
    WinInetRequestObserver observer;
    {
      std::lock_guard<std::mutex> lock(ObserverMutex());
      observer = Observer();
    }
    if (observer) observer(settings);
  }

  CurlList headerList;
  if (!target->acceptTypes.empty() && !Append(headerList, "Accept: " + target->acceptTypes)) {
    return FALSE;
  }
  if (!ParseExtraHeaders(headers, headersLength, headerList)) return FALSE;
  // WinINet sends the body at once; no "Expect: 100-continue" round trip.
  if (!Append(headerList, "Expect:")) return FALSE;

  const std::string body(static_cast<const char*>(optional), optionalLength);
  CurlEasy curl(curl_easy_init());
  if (!curl) return FALSE;
  Transfer transfer;
  transfer.response = &response;
  transfer.followRedirects = settings.followRedirects;
  transfer.maxBody = settings.maxResponseBody;
  transfer.stallMs = settings.stallTimeoutMs;
  const std::string caBundle = ResolveCaBundle(*target);
  if (!Configure(curl.get(), *target, settings, caBundle, body, headerList.get(), transfer)) {
    return FALSE;
  }

  const CURLcode result = Perform(curl.get(), settings.stallTimeoutMs);
  if (transfer.outOfMemory) {
    response = Response();
    throw std::bad_alloc();
  }
  // Without the header block of a final response there is nothing to report:
  // refused or timed-out connections, failed sends, redirect loops, garbage.
  const bool finalHeaders =
      transfer.headersComplete && response.status >= 200 && (!transfer.redirectPending || result == CURLE_OK);
  if (!finalHeaders) {
    response = Response();
    return FALSE;
  }
  response.available = true;
  response.transferError = result != CURLE_OK;
  return TRUE;
}

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index) {
  auto target = Registry::Instance().Find<Request>(request, Kind::kRequest);
  if (!target || !target->response.available || bufferLength == nullptr) return FALSE;
  if (index != nullptr && *index != 0) return FALSE;  // every header kept occurs once
  DWORD value = 0;
  if (infoLevel == (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER)) {
    value = target->response.status;
  } else if (infoLevel == (HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER)) {
    const std::optional<std::uint64_t> length = ContentLength(target->response);
    if (!length || *length > 0xFFFFFFFFu) return FALSE;
    value = static_cast<DWORD>(*length);
  } else {
    return FALSE;
  }
  if (buffer == nullptr || *bufferLength < sizeof(DWORD)) {
    *bufferLength = sizeof(DWORD);
    return FALSE;
  }
  std::memcpy(buffer, &value, sizeof value);
  *bufferLength = sizeof(DWORD);
  return TRUE;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead) {
  if (bytesRead == nullptr) return FALSE;
  *bytesRead = 0;
  auto target = Registry::Instance().Find<Request>(file, Kind::kRequest);
  if (!target || !target->response.available) return FALSE;
  if (buffer == nullptr && bytesToRead != 0) return FALSE;
  Response& response = target->response;
  const std::size_t left = response.body.size() - response.readPosition;
  const std::size_t count = std::min<std::size_t>(left, bytesToRead);
  if (count == 0 && bytesToRead != 0) return response.transferError ? FALSE : TRUE;
  if (count != 0) std::memcpy(buffer, response.body.data() + response.readPosition, count);
  response.readPosition += count;
  *bytesRead = static_cast<DWORD>(count);
  return TRUE;
}

#endif  // !_WIN32
