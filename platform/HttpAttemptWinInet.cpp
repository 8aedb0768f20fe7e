// One HTTP attempt over WinINet, in its asynchronous mode.
//
// WinINet bounds no attempt by itself: its connect time-out is ignored by
// some versions, its receive time-out starts afresh with every byte, and
// nothing bounds the transfer as a whole or its redirects. So every WinINet
// call is made on the caller's thread and returns at once; what waits on the
// network runs inside WinINet, which reports the phase, the progress and the
// end of the pending call through the status callback. The caller waits for
// that report for at most a tick or until the next bound, whichever is
// sooner, and keeps the bounds itself. When it ends the attempt it closes
// the handles itself, but for the case below, and only the caller's thread
// ever uses a handle before the close.
//
// A WinINet may go on with a pending call after its handle is closed (Wine's
// lets it run to its own time-outs) and still read the body or fill the read
// buffer. So what WinINet can reach lives in a shared state that stays
// registered until WinINet reports every handle of the attempt closed.
//
// Closing a request whose body was left unread is not bounded either: a
// WinINet may read the rest of the body inside that close, to keep the
// connection (Wine's does, for as long as the bytes arrive faster than it
// reads them), and a hostile server never ends its body. Such a request is
// closed on a closer thread of its own, so the caller returns within its
// bounds; what the closer holds is the attempt's own.
#if defined(_WIN32)

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/HttpAttempt.h"

namespace {

using Clock = AttemptClock;
using std::chrono::milliseconds;
using Outcome = AttemptOutcome;
using Failure = std::optional<AttemptOutcome>;

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
static_assert(kRequestFlags == 0x84000000u, "request flags on the wire");
constexpr DWORD kHeadersLength = 62;
static_assert(sizeof(kHttpRequestHeaders) - 1 == kHeadersLength, "header text length");
constexpr DWORD kStatusQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
static_assert(kStatusQuery == 0x20000013u, "status query level");
constexpr DWORD kReadChunk = 8192;

// The longest the caller waits without looking at the clock and the cancel
// check.
constexpr milliseconds kTick(10);
// How long a closing attempt waits for WinINet to report its handles closed
// (Windows' WinINet does so at once). With the tick and the closing itself,
// a cancel or a crossed bound ends the attempt within 25 ms.
constexpr milliseconds kCloseGrace(5);
// WinINet's own time-outs trail the caller's bounds by this much: they end
// what WinINet goes on with once the caller has let go.
constexpr milliseconds kBackstop(50);
// The most closer threads at once. Past that the caller closes itself: a
// peer that keeps this many bodies coming gets no more of our threads.
constexpr int kMaxClosers = 8;

enum class Phase { kBefore, kConnecting, kConnected };
enum class Stage { kSend, kRead };

// One attempt as the caller and WinINet's callbacks share it. Everything
// below `mutex` is guarded by it.
struct Attempt {
  DWORD_PTR context = 0;
  bool secure = false;
  // What WinINet reads or fills while a call is pending.
  std::string body;
  char buffer[kReadChunk];
  DWORD available = 0;
  DWORD got = 0;

  std::mutex mutex;
  std::condition_variable changed;
  Phase phase = Phase::kBefore;
  Clock::time_point connectStart;
  Clock::time_point lastProgress;
  bool sent = false;  // the current request went out whole
  int redirects = 0;
  Failure verdict;              // reached in a callback: a redirect refused or one too many
  bool completed = true;        // the last call has ended ...
  DWORD error = ERROR_SUCCESS;  // ... with this error
  bool closing = false;         // the caller is closing the handles
  int open = 0;                 // handles with this context that WinINet has not reported closed
};

// ---- attempts WinINet may still call back for, by context ---------------------
// A callback finds its attempt here rather than through a pointer; the entry
// goes when WinINet reports the attempt's last handle closed.
struct Registry {
  std::mutex mutex;
  DWORD_PTR last = 0;
  std::map<DWORD_PTR, std::shared_ptr<Attempt>> attempts;
};

// Leaked on purpose: WinINet may call back during exit-time destruction.
Registry& Attempts() {
  static Registry* registry = new Registry;
  return *registry;
}

void Register(const std::shared_ptr<Attempt>& attempt) {
  Registry& registry = Attempts();
  std::lock_guard<std::mutex> lock(registry.mutex);
  // Never 0: WinINet calls back only for a non-zero context.
  if (++registry.last == 0) ++registry.last;
  attempt->context = registry.last;
  registry.attempts[attempt->context] = attempt;
}

void Unregister(DWORD_PTR context) {
  Registry& registry = Attempts();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.attempts.erase(context);
}

std::shared_ptr<Attempt> Find(DWORD_PTR context) {
  Registry& registry = Attempts();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto found = registry.attempts.find(context);
  return found == registry.attempts.end() ? nullptr : found->second;
}

// Once WinINet is left with handles it will still report on after the
// attempt returned, this module stays loaded for the life of the process: a
// host that unloads it must not leave WinINet a callback into nothing.
void KeepModuleLoaded() {
  static std::atomic<bool> pinned{false};
  if (pinned.exchange(true)) return;
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&KeepModuleLoaded), &module);
}

// ---- the status callback ----------------------------------------------------------
bool IsPlainHttpUrl(const void* info) {
  const char* url = static_cast<const char*>(info);
  if (url == nullptr) return false;
  static const char kScheme[] = "http:";
  for (std::size_t i = 0; i + 1 < sizeof kScheme; ++i) {
    const char c = url[i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != kScheme[i]) return false;
  }
  return true;
}

// Records and wakes the caller; calls no WinINet function, and waits only
// for the caller to start closing (bounded).
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  const std::shared_ptr<Attempt> found = Find(context);
  if (!found) return;
  Attempt& a = *found;
  std::unique_lock<std::mutex> lock(a.mutex);
  const Clock::time_point now = Clock::now();
  switch (status) {
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
      a.phase = Phase::kConnecting;
      a.connectStart = now;  // every connection gets its own window
      break;
    case INTERNET_STATUS_SENDING_REQUEST:
      a.sent = false;
      a.phase = Phase::kConnected;  // a pooled connection is not announced
      a.lastProgress = now;
      break;
    case INTERNET_STATUS_REQUEST_SENT:
      a.sent = true;
      a.phase = Phase::kConnected;
      a.lastProgress = now;
      break;
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
    case INTERNET_STATUS_RECEIVING_RESPONSE:
    case INTERNET_STATUS_RESPONSE_RECEIVED:
      a.phase = Phase::kConnected;
      a.lastProgress = now;
      break;
    case INTERNET_STATUS_REDIRECT:
      if (a.verdict || a.closing) break;
      if (++a.redirects > kMaxHttpRedirects) {
        a.verdict = Outcome::kTooManyRedirects;
      } else if (a.secure && IsPlainHttpUrl(info)) {
        a.verdict = Outcome::kRedirectRefused;
      } else {
        break;
      }
      a.changed.notify_all();
      // WinINet is about to go back onto the network: give the caller the
      // moment it needs to start closing, which stops Windows' WinINet.
      // Bounded, as a close may wait for this callback to return.
      a.changed.wait_for(lock, milliseconds(50), [&] { return a.closing; });
      return;
    case INTERNET_STATUS_REQUEST_COMPLETE: {
      const auto* result = static_cast<const INTERNET_ASYNC_RESULT*>(info);
      a.completed = true;
      // On success dwError may carry a count rather than an error.
      a.error = result == nullptr                  ? ERROR_INTERNET_INTERNAL_ERROR
                : result->dwResult != 0            ? ERROR_SUCCESS
                : result->dwError != ERROR_SUCCESS ? result->dwError
                                                   : ERROR_INTERNET_INTERNAL_ERROR;
      break;
    }
    case INTERNET_STATUS_HANDLE_CLOSING:
      // The last report for that handle.
      if (--a.open == 0) {
        a.changed.notify_all();
        lock.unlock();
        Unregister(context);
        return;
      }
      break;
    default:
      return;
  }
  a.changed.notify_all();
}

// ---- the caller's side ----------------------------------------------------------------
DWORD Milliseconds(Clock::duration span) {
  const long long count = std::chrono::duration_cast<milliseconds>(span).count();
  return static_cast<DWORD>(std::max(1LL, std::min<long long>(count, INT_MAX)));
}

void SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  ::InternetSetOptionA(handle, option, &milliseconds, sizeof milliseconds);
}

// The body length that the reply's headers announce; false when there is no
// such header (chunked or close-delimited bodies) or it is not a number.
bool AnnouncedBodyLength(HINTERNET request, unsigned long long& length) {
  char text[32] = {};
  DWORD size = sizeof(text) - 1;
  if (!::HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr) || size == 0 ||
      size >= sizeof(text)) {
    return false;
  }
  length = 0;
  for (DWORD i = 0; i < size; ++i) {
    if (text[i] < '0' || text[i] > '9' || length > (~0ULL - 9) / 10) return false;
    length = length * 10 + static_cast<unsigned long long>(text[i] - '0');
  }
  return true;
}

// The handles of one attempt, and what WinINet may still reach through them.
struct Handles {
  std::shared_ptr<Attempt> attempt;
  bool registered = false;
  HINTERNET internet = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
};

// Closes what is open, request first. A call still pending is WinINet's to
// end; the state it may still use stays registered until WinINet reports
// the handles closed, which Windows' WinINet does at once.
void CloseHandles(Handles& h) {
  Attempt& a = *h.attempt;
  bool pending = false;
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    pending = !a.completed;
  }
  // Before a callback holding WinINet at a redirect lets it go on: what a
  // WinINet that carries on after the close (Wine's) still does then fails
  // at once (a zero connect time-out ends a connect that is not already
  // made) or soon.
  if (h.request != nullptr && pending) {
    SetTimeout(h.request, INTERNET_OPTION_CONNECT_TIMEOUT, 0);
    SetTimeout(h.request, INTERNET_OPTION_SEND_TIMEOUT, 1);
    SetTimeout(h.request, INTERNET_OPTION_RECEIVE_TIMEOUT, 1);
  }
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    a.closing = true;
    a.changed.notify_all();
  }
  if (h.request != nullptr) ::InternetCloseHandle(std::exchange(h.request, nullptr));
  if (h.connection != nullptr) ::InternetCloseHandle(std::exchange(h.connection, nullptr));
  if (h.internet != nullptr) ::InternetCloseHandle(std::exchange(h.internet, nullptr));
  if (!std::exchange(h.registered, false)) return;
  std::unique_lock<std::mutex> lock(a.mutex);
  const bool reported = a.changed.wait_for(lock, kCloseGrace, [&] { return a.open == 0; });
  lock.unlock();
  if (reported) {
    Unregister(a.context);  // also when no handle with a context was ever opened
  } else {
    KeepModuleLoaded();
  }
}

std::atomic<int>& Closers() {
  static std::atomic<int> closers{0};
  return closers;
}

// Closes `h` on a closer thread when one is free, else here.
void CloseAside(Handles h) {
  if (++Closers() <= kMaxClosers) {
    try {
      KeepModuleLoaded();  // the closer may outlive every caller
      std::thread([h]() mutable {
        CloseHandles(h);
        --Closers();
      }).detach();
      return;
    } catch (const std::system_error&) {
      // No thread to be had: close here.
    }
  }
  --Closers();
  CloseHandles(h);
}

class Transfer {
 public:
  explicit Transfer(const HttpAttemptRequest& request)
      : r_(request), h_{std::make_shared<Attempt>()}, a_(*h_.attempt) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  // Whatever way Run left, every handle is closed: aside when a body was
  // left unread, since closing then may take as long as the peer sends.
  ~Transfer() {
    if (bodyLeft_) {
      CloseAside(h_);
    } else {
      CloseHandles(h_);
    }
  }

  Failure Run();
  int status() const { return status_; }
  std::string& body() { return body_; }

 private:
  Failure Open();
  Failure ReadBody();
  // Starts a call that WinINet may complete later; `ok` and GetLastError
  // are its immediate answer.
  void Begin() {
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.completed = false;
  }
  void Started(BOOL ok) {
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok && error == ERROR_IO_PENDING) return;
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.completed = true;
    a_.error = error;
  }
  Failure Await(Stage stage);
  Failure Crossed(Clock::time_point now) const;
  Clock::time_point NextBound() const;
  Outcome Classify(DWORD error, Stage stage, Clock::time_point now) const;
  void Progress() {
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.lastProgress = Clock::now();
  }
  void Keep(HINTERNET& slot, HINTERNET handle, bool reports) {
    slot = handle;
    if (!reports) return;
    std::lock_guard<std::mutex> lock(a_.mutex);
    ++a_.open;
  }

  const HttpAttemptRequest& r_;
  Handles h_;
  Attempt& a_;             // h_'s, for short
  bool bodyLeft_ = false;  // an answer came whose body was not read to its end
  int status_ = 0;
  std::string body_;
};

// Every reason to end an attempt before WinINet does, but the cancel check.
Failure Transfer::Crossed(Clock::time_point now) const {
  const Attempt& a = a_;
  if (now >= r_.deadline) return Outcome::kDeadline;
  if (a.phase == Phase::kConnecting && now - a.connectStart >= r_.connectWindow)
    return Outcome::kConnectTimeout;
  if (a.phase == Phase::kConnected && now - a.lastProgress >= r_.stall) return Outcome::kStall;
  return std::nullopt;
}

Clock::time_point Transfer::NextBound() const {
  const Attempt& a = a_;
  Clock::time_point next = r_.deadline;
  if (a.phase == Phase::kConnecting) next = std::min(next, a.connectStart + r_.connectWindow);
  if (a.phase == Phase::kConnected) next = std::min(next, a.lastProgress + r_.stall);
  return next;
}

// Why a call failed, when no bound explains it.
Outcome Transfer::Classify(DWORD error, Stage stage, Clock::time_point now) const {
  if (const Failure crossed = Crossed(now)) return *crossed;
  const Attempt& a = a_;
  switch (error) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return Outcome::kNameNotResolved;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return Outcome::kRefused;
    case ERROR_INTERNET_TIMEOUT:
      // WinINet's time-outs are set from the connect window and from the
      // smaller of the stall time and what was left of the deadline.
      if (a.phase == Phase::kConnecting) return Outcome::kConnectTimeout;
      return r_.deadline - now <= r_.stall ? Outcome::kDeadline : Outcome::kStall;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return Outcome::kTls;
    case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
    case ERROR_INTERNET_MIXED_SECURITY:
    case ERROR_INTERNET_REDIRECT_SCHEME_CHANGE:
    case ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION:
      return Outcome::kRedirectRefused;
    case ERROR_HTTP_REDIRECT_FAILED:
      return Outcome::kTooManyRedirects;
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE:
      return Outcome::kSetupFailed;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      throw std::bad_alloc();
    default:
      break;
  }
  // Resets, aborts and answers that are no HTTP: what they mean depends on
  // how far the attempt had come.
  if (stage == Stage::kRead) return Outcome::kCutShort;
  if (a.phase == Phase::kConnecting) return Outcome::kRefused;
  if (a.phase == Phase::kBefore) return Outcome::kSetupFailed;
  return a.sent ? Outcome::kNoResponse : Outcome::kSendFailed;
}

// Until the pending call has ended, a callback has reached a verdict, or a
// bound or the cancel check ends the attempt.
Failure Transfer::Await(Stage stage) {
  Attempt& a = a_;
  std::unique_lock<std::mutex> lock(a.mutex);
  for (;;) {
    if (a.verdict) return a.verdict;
    lock.unlock();
    const bool cancelled = r_.cancelled && r_.cancelled();
    lock.lock();
    if (cancelled) return Outcome::kCancelled;
    const Clock::time_point now = Clock::now();
    if (a.completed) {
      if (a.error != ERROR_SUCCESS) return Classify(a.error, stage, now);
      return Crossed(now);
    }
    if (const Failure crossed = Crossed(now)) return crossed;
    a.changed.wait_until(lock, std::min(now + kTick, NextBound()));
  }
}

Failure Transfer::Open() {
  if (r_.port <= 0 || r_.port > 65535 || r_.host.empty()) return Outcome::kSetupFailed;
  a_.secure = r_.secure;
  a_.body = r_.body;
  Register(h_.attempt);
  h_.registered = true;

  HINTERNET internet = ::InternetOpenA(r_.userAgent.empty() ? nullptr : r_.userAgent.c_str(),
                                       INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
  if (internet == nullptr) return Outcome::kSetupFailed;
  Keep(h_.internet, internet, false);  // no context: WinINet reports nothing about it
  // Inherited by the connection and the request.
  if (::InternetSetStatusCallbackA(internet, OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    return Outcome::kSetupFailed;
  }
  // HTTP/1.1 only: a WinINet that offers HTTP/2 does so only when asked to
  // (app containers ask by default). One without the option refuses it.
  DWORD protocols = 0;
  ::InternetSetOptionA(internet, INTERNET_OPTION_ENABLE_HTTP_PROTOCOL, &protocols, sizeof protocols);

  HINTERNET connection = ::InternetConnectA(internet, r_.host.c_str(), static_cast<INTERNET_PORT>(r_.port),
                                            nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, a_.context);
  if (connection == nullptr) return Outcome::kSetupFailed;
  Keep(h_.connection, connection, true);

  HINTERNET request =
      ::HttpOpenRequestA(connection, "POST", r_.path.c_str(), "HTTP/1.1", nullptr, nullptr,
                         r_.secure ? kRequestFlags | INTERNET_FLAG_SECURE : kRequestFlags, a_.context);
  if (request == nullptr) return Outcome::kSetupFailed;
  Keep(h_.request, request, true);
  // On the request itself: not every WinINet (Wine's, for one) hands the
  // internet handle's time-outs down to it. WinINet applies the connect
  // time-out to each connection it opens, a redirect's too.
  const Clock::duration left = r_.deadline - Clock::now();
  const Clock::duration connect = std::min<Clock::duration>(r_.connectWindow, left);
  const Clock::duration io = std::min<Clock::duration>(r_.stall, left);
  SetTimeout(request, INTERNET_OPTION_CONNECT_TIMEOUT, Milliseconds(connect + kBackstop));
  SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, Milliseconds(io + kBackstop));
  SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, Milliseconds(io + kBackstop));
  return std::nullopt;
}

Failure Transfer::Run() {
  if (const Failure failure = Open()) return failure;

  Begin();
  Started(::HttpSendRequestA(h_.request, kHttpRequestHeaders, kHeadersLength,
                             a_.body.empty() ? nullptr : &a_.body[0], static_cast<DWORD>(a_.body.size())));
  if (const Failure failure = Await(Stage::kSend)) return failure;

  // A connection closed before a byte of answer can leave the send looking
  // successful (Wine's WinINet), with no status at all.
  DWORD status = 0;
  DWORD statusLength = sizeof status;
  if (!::HttpQueryInfoA(h_.request, kStatusQuery, &status, &statusLength, nullptr) || status < 100) {
    return Outcome::kNoResponse;
  }
  status_ = static_cast<int>(status);
  bodyLeft_ = true;
  // Another status's body is not read: it is no reply.
  if (status != 200) return Outcome::kHttpStatus;
  return ReadBody();
}

Failure Transfer::ReadBody() {
  const std::size_t maxBody = r_.maxBody;
  // WinINet reads a connection closed part-way through an announced body as
  // its clean end: the length is compared after the loop.
  unsigned long long announced = 0;
  const bool lengthAnnounced = AnnouncedBodyLength(h_.request, announced);
  if (lengthAnnounced && announced > maxBody) return Outcome::kBodyTooBig;

  std::string body;
  if (lengthAnnounced) body.reserve(static_cast<std::size_t>(announced));
  for (;;) {
    // Asking what has arrived first lets every byte count as progress, and
    // the read below then takes only what is there (at once).
    Begin();
    Started(::InternetQueryDataAvailable(h_.request, &a_.available, 0, 0));
    bool pending = false;
    {
      std::lock_guard<std::mutex> lock(a_.mutex);
      pending = !a_.completed;
    }
    if (const Failure failure = Await(Stage::kRead)) return failure;
    if (pending) continue;  // data has arrived: ask again for how much
    const DWORD available = a_.available;
    if (available == 0) break;  // the end of the body

    a_.got = 0;
    Begin();
    Started(::InternetReadFile(h_.request, a_.buffer, std::min(available, kReadChunk), &a_.got));
    if (const Failure failure = Await(Stage::kRead)) return failure;
    const DWORD got = a_.got;
    if (got == 0) break;
    if (got > kReadChunk) return Outcome::kCutShort;
    if (body.size() + got > maxBody) return Outcome::kBodyTooBig;
    body.append(a_.buffer, got);
    Progress();
  }
  bodyLeft_ = false;
  if (lengthAnnounced && body.size() != announced) return Outcome::kCutShort;
  body_ = std::move(body);
  return std::nullopt;
}

}  // namespace

HttpAttemptResult PerformHttpAttempt(const HttpAttemptRequest& request) {
  HttpAttemptResult result;
  if (request.cancelled && request.cancelled()) {
    result.failure = Outcome::kCancelled;
    return result;
  }
  Transfer transfer(request);
  result.failure = transfer.Run();
  result.status = transfer.status();
  if (!result.failure) result.body = std::move(transfer.body());
  return result;
}

#endif  // _WIN32
