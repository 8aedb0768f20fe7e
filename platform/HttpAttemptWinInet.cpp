// One HTTP attempt over WinINet.
//
// WinINet bounds no attempt by itself: its connect time-out is ignored by
// some versions, its receive time-out starts afresh with every byte, and
// nothing bounds the transfer as a whole or its redirects. So the WinINet
// calls run on a thread of their own, and the calling thread keeps the bounds
// (the watchdog): it learns the phase and the progress from WinINet's status
// callbacks and from the read loop, and once a bound is crossed it records
// why and closes the request and connection handles, which makes a blocked
// WinINet call return.
//
// Wine's WinINet lets such a call run to its end (closing only lets go of the
// handle). The watchdog does not wait for it: the attempt ends at its bound
// and the WinINet thread finishes on its own, its reads and sends bounded by
// WinINet's time-outs set just behind the watchdog's (Wine ignores the
// connect time-out: an unanswered connect lasts until the system gives up).
// If WinINet would take that thread back onto the network (the next
// redirect, a late connect), it is held before it gets there.
#if defined(_WIN32)

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/HttpAttempt.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
static_assert(kRequestFlags == 0x84000000u, "request flags on the wire");
constexpr DWORD kHeadersLength = 62;
static_assert(sizeof(kHttpRequestHeaders) - 1 == kHeadersLength, "header text length");
constexpr DWORD kStatusQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
static_assert(kStatusQuery == 0x20000013u, "status query level");
constexpr DWORD kReadChunk = 8192;

// How often the watchdog looks at the clock.
constexpr milliseconds kTick(25);
// WinINet's own time-outs trail the watchdog's bounds by this much: they only
// end a call that WinINet does not give up when its handle is closed.
constexpr int kBackstopMs = 250;
// How long an ended attempt waits for its WinINet thread before leaving it to
// finish on its own.
constexpr milliseconds kJoinGrace(2 * kTick);

enum class Phase { kBefore, kConnecting, kConnected };
enum class Stage { kSend, kRead };

// One attempt, shared by the caller's thread, the WinINet thread and the
// status callback. Everything below `mutex` is guarded by it.
struct Attempt {
  explicit Attempt(const HttpAttemptRequest& r) : request(r), start(Clock::now()) {}

  // A copy: the WinINet thread may outlive the caller's request.
  HttpAttemptRequest request;
  const Clock::time_point start;
  DWORD_PTR context = 0;

  std::mutex mutex;
  std::condition_variable changed;
  HINTERNET internet = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET handle = nullptr;  // the request
  bool inCall = false;         // the WinINet thread is in a call that may wait on the network
  bool watchdogClosing = false;
  bool watchdogClosed = false;
  Phase phase = Phase::kBefore;
  Clock::time_point connectStart;
  Clock::time_point lastProgress;
  bool sent = false;  // the current request went out whole
  int redirects = 0;
  bool decided = false;  // the first decision is final
  HttpFailure failure = HttpFailure::kSetup;
  int status = 0;
  std::string body;
  bool outOfMemory = false;
  bool done = false;  // the WinINet thread has let go of every handle
};

// ---- attempts in flight, by callback context -----------------------------------
// A status callback finds its attempt here rather than through a pointer, so
// a late one (a handle closing after the attempt ended) finds nothing.
struct Registry {
  std::mutex mutex;
  DWORD_PTR last = 0;
  std::map<DWORD_PTR, std::weak_ptr<Attempt>> attempts;
};

// Leaked on purpose: a WinINet thread left to finish may still call back
// during exit-time destruction.
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
  return found == registry.attempts.end() ? nullptr : found->second.lock();
}

// ---- decisions ---------------------------------------------------------------------
// Every reason to end an attempt before WinINet does is decided here: the
// watchdog asks on every tick, the WinINet thread when a call failed.
// The cancel check is the caller's: it is asked only while the caller waits
// in PerformHttpAttempt (the attempt is undecided).
HttpFailure CrossedBound(const Attempt& a, Clock::time_point now) {
  const HttpAttemptRequest& r = a.request;
  if (r.cancelled && r.cancelled()) return HttpFailure::kCancelled;
  if (now - a.start >= milliseconds(r.deadlineMs)) return HttpFailure::kDeadline;
  if (a.phase == Phase::kConnecting && now - a.connectStart >= milliseconds(r.connectTimeoutMs)) {
    return HttpFailure::kConnectTimeout;
  }
  if (a.phase == Phase::kConnected && now - a.lastProgress >= milliseconds(r.stallMs))
    return HttpFailure::kStall;
  return HttpFailure::kNone;
}

// The first decision wins: a bound the watchdog saw crossed outranks the
// error that the call it interrupted returns.
void Decide(Attempt& a, HttpFailure failure) {
  if (a.decided) return;
  a.decided = true;
  a.failure = failure;
  a.changed.notify_all();
}

// Why a call failed, when no bound explains it.
HttpFailure Classify(const Attempt& a, DWORD error, Stage stage) {
  const HttpFailure crossed = CrossedBound(a, Clock::now());
  if (crossed != HttpFailure::kNone) return crossed;
  switch (error) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return HttpFailure::kNameNotResolved;
    case ERROR_INTERNET_CANNOT_CONNECT:
      return HttpFailure::kRefused;
    case ERROR_INTERNET_TIMEOUT:
      // WinINet's time-outs are set from the connect time-out and from the
      // smaller of the stall time and the deadline.
      if (a.phase == Phase::kConnecting) return HttpFailure::kConnectTimeout;
      return a.request.deadlineMs <= a.request.stallMs ? HttpFailure::kDeadline : HttpFailure::kStall;
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
      return HttpFailure::kTls;
    case ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
    case ERROR_INTERNET_MIXED_SECURITY:
    case ERROR_INTERNET_REDIRECT_SCHEME_CHANGE:
    case ERROR_HTTP_REDIRECT_NEEDS_CONFIRMATION:
      return HttpFailure::kRedirectRefused;
    case ERROR_HTTP_REDIRECT_FAILED:
      return HttpFailure::kTooManyRedirects;
    case ERROR_INTERNET_INVALID_URL:
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
    case ERROR_INTERNET_INCORRECT_HANDLE_TYPE:
      return HttpFailure::kSetup;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      throw std::bad_alloc();
    default:
      break;
  }
  // Resets, aborts and answers that are no HTTP: what they mean depends on
  // how far the attempt had come.
  if (stage == Stage::kRead) return HttpFailure::kCutShort;
  if (a.phase == Phase::kConnecting) return HttpFailure::kRefused;
  if (a.phase == Phase::kBefore) return HttpFailure::kSetup;
  return a.sent ? HttpFailure::kNoResponse : HttpFailure::kSendFailed;
}

// ---- the status callback -------------------------------------------------------------
// Windows' WinINet makes a call return when another thread closes its
// handle; Wine's lets the call run on.
bool ClosingEndsCalls() {
  static const bool ends = [] {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll == nullptr || ::GetProcAddress(ntdll, "wine_get_version") == nullptr;
  }();
  return ends;
}

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

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
  const std::shared_ptr<Attempt> found = Find(context);
  if (!found) return;
  Attempt& a = *found;
  std::unique_lock<std::mutex> lock(a.mutex);
  const Clock::time_point now = Clock::now();
  // Whether WinINet is about to go (back) onto the network.
  bool outgoing = false;
  switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
      outgoing = true;
      break;
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
      a.phase = Phase::kConnecting;
      a.connectStart = now;
      outgoing = true;
      break;
    case INTERNET_STATUS_SENDING_REQUEST:
      outgoing = true;
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
      outgoing = true;
      if (++a.redirects > kMaxHttpRedirects) {
        Decide(a, HttpFailure::kTooManyRedirects);
      } else if (a.request.secure && IsPlainHttpUrl(info)) {
        Decide(a, HttpFailure::kRedirectRefused);
      }
      break;
    default:
      return;
  }
  if (!a.decided || !outgoing) return;
  // The attempt has ended, but WinINet is about to go on: give the watchdog
  // the moment it needs to close the handles, which stops Windows' WinINet.
  // (Bounded: WinINet may hold the closing until this callback returns.)
  a.changed.wait_for(lock, 2 * kTick, [&] { return a.watchdogClosed; });
  if (ClosingEndsCalls()) return;
  // Wine's goes on regardless: this thread stays here for good, so nothing
  // more of an ended attempt reaches the network.
  for (;;) a.changed.wait(lock);
}

// ---- the WinINet thread --------------------------------------------------------------
int Backstop(int milliseconds) {
  return std::max(1, std::min(milliseconds, INT_MAX - kBackstopMs)) + kBackstopMs;
}

void SetTimeout(HINTERNET handle, DWORD option, int milliseconds) {
  DWORD value = static_cast<DWORD>(milliseconds);
  ::InternetSetOptionA(handle, option, &value, sizeof value);
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

class Worker {
 public:
  explicit Worker(Attempt& attempt) : a_(attempt) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  // Whatever way Perform left, every handle still open is closed.
  ~Worker() { ReleaseHandles(); }

  void Perform();

 private:
  void Fail(HttpFailure failure) {
    std::lock_guard<std::mutex> lock(a_.mutex);
    Decide(a_, failure);
  }
  // The handle joins the attempt, where the watchdog can close it.
  void Keep(HINTERNET Attempt::*slot, HINTERNET handle) {
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.*slot = handle;
  }
  // Around a call that may wait on the network. Enter is false when the
  // attempt has ended already; Leave when it ended meanwhile (its handles may
  // be closed: nothing more is asked of them).
  bool Enter() {
    std::lock_guard<std::mutex> lock(a_.mutex);
    if (a_.decided) return false;
    a_.inCall = true;
    return true;
  }
  bool Leave() {
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.inCall = false;
    return !a_.decided;
  }
  void FailedCall(DWORD error, Stage stage) {
    std::lock_guard<std::mutex> lock(a_.mutex);
    if (!a_.decided) Decide(a_, Classify(a_, error, stage));
  }
  void Progress() {
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.lastProgress = Clock::now();
  }
  void ReleaseHandles();
  void ReadBody(HINTERNET request);

  Attempt& a_;
};

// Only the handles the watchdog has not closed, and never while it closes
// some: a closed handle's value may already belong to someone else.
void Worker::ReleaseHandles() {
  HINTERNET handles[3];
  {
    std::unique_lock<std::mutex> lock(a_.mutex);
    a_.changed.wait(lock, [&] { return !a_.watchdogClosing; });
    handles[0] = std::exchange(a_.handle, nullptr);
    handles[1] = std::exchange(a_.connection, nullptr);
    handles[2] = std::exchange(a_.internet, nullptr);
  }
  for (HINTERNET handle : handles) {
    if (handle != nullptr) ::InternetCloseHandle(handle);
  }
}

void Worker::Perform() {
  const HttpAttemptRequest& r = a_.request;
  if (r.port <= 0 || r.port > 65535 || r.host.empty()) return Fail(HttpFailure::kSetup);

  HINTERNET internet = ::InternetOpenA(r.userAgent.empty() ? nullptr : r.userAgent.c_str(),
                                       INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (internet == nullptr) return Fail(HttpFailure::kSetup);
  Keep(&Attempt::internet, internet);
  // Inherited by the connection and the request.
  if (::InternetSetStatusCallbackA(internet, OnStatus) == INTERNET_INVALID_STATUS_CALLBACK) {
    return Fail(HttpFailure::kSetup);
  }
  SetTimeout(internet, INTERNET_OPTION_CONNECT_TIMEOUT, Backstop(std::min(r.connectTimeoutMs, r.deadlineMs)));

  HINTERNET connection = ::InternetConnectA(internet, r.host.c_str(), static_cast<INTERNET_PORT>(r.port),
                                            nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  if (connection == nullptr) return Fail(HttpFailure::kSetup);
  Keep(&Attempt::connection, connection);

  HINTERNET request =
      ::HttpOpenRequestA(connection, "POST", r.path.c_str(), nullptr, nullptr, nullptr,
                         r.secure ? kRequestFlags | INTERNET_FLAG_SECURE : kRequestFlags, a_.context);
  if (request == nullptr) return Fail(HttpFailure::kSetup);
  Keep(&Attempt::handle, request);
  // On the request itself: not every WinINet (Wine's, for one) hands the
  // internet handle's time-outs down to it.
  const int ioMs = Backstop(std::min(r.stallMs, r.deadlineMs));
  SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, ioMs);
  SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, ioMs);

  if (!Enter()) return;
  const BOOL sent = ::HttpSendRequestA(request, kHttpRequestHeaders, kHeadersLength,
                                       a_.request.body.empty() ? nullptr : &a_.request.body[0],
                                       static_cast<DWORD>(a_.request.body.size()));
  const DWORD error = sent ? ERROR_SUCCESS : ::GetLastError();
  if (!Leave()) return;
  if (!sent) return FailedCall(error, Stage::kSend);

  // A connection closed before a byte of answer can leave the send looking
  // successful (Wine's WinINet), with no status at all.
  DWORD status = 0;
  DWORD statusLength = sizeof status;
  if (!::HttpQueryInfoA(request, kStatusQuery, &status, &statusLength, nullptr) || status < 100) {
    return Fail(HttpFailure::kNoResponse);
  }
  {
    std::lock_guard<std::mutex> lock(a_.mutex);
    a_.status = static_cast<int>(status);
  }
  // Another status's body is not read: it is no reply.
  if (status != 200) return Fail(HttpFailure::kHttpStatus);
  ReadBody(request);
}

void Worker::ReadBody(HINTERNET request) {
  const std::size_t maxBody = a_.request.maxBody;
  // WinINet reads a connection closed part-way through an announced body as
  // its clean end: the length is compared after the loop.
  unsigned long long announced = 0;
  const bool lengthAnnounced = AnnouncedBodyLength(request, announced);
  if (lengthAnnounced && announced > maxBody) return Fail(HttpFailure::kBodyTooBig);

  std::string body;
  if (lengthAnnounced) body.reserve(static_cast<std::size_t>(announced));
  char buffer[kReadChunk];
  for (;;) {
    // A synchronous read waits until the whole chunk is there; asking first
    // what has arrived lets every byte count as progress.
    DWORD available = 0;
    if (!Enter()) return;
    BOOL ok = ::InternetQueryDataAvailable(request, &available, 0, 0);
    DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!Leave()) return;
    if (!ok) return FailedCall(error, Stage::kRead);
    if (available == 0) break;  // the end of the body

    DWORD got = 0;
    if (!Enter()) return;
    ok = ::InternetReadFile(request, buffer, std::min(available, kReadChunk), &got);
    error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!Leave()) return;
    if (!ok) return FailedCall(error, Stage::kRead);
    if (got == 0) break;
    if (got > kReadChunk) return Fail(HttpFailure::kCutShort);
    if (body.size() + got > maxBody) return Fail(HttpFailure::kBodyTooBig);
    body.append(buffer, got);
    Progress();
  }
  if (lengthAnnounced && body.size() != announced) return Fail(HttpFailure::kCutShort);

  std::lock_guard<std::mutex> lock(a_.mutex);
  if (a_.decided) return;
  a_.decided = true;
  a_.failure = HttpFailure::kNone;
  a_.body = std::move(body);
  a_.changed.notify_all();
}

void RunWorker(std::shared_ptr<Attempt> attempt) {
  Attempt& a = *attempt;
  try {
    Worker(a).Perform();
  } catch (const std::bad_alloc&) {
    std::lock_guard<std::mutex> lock(a.mutex);
    a.outOfMemory = true;
    Decide(a, HttpFailure::kSetup);
  } catch (...) {
    std::lock_guard<std::mutex> lock(a.mutex);
    Decide(a, HttpFailure::kSetup);
  }
  Unregister(a.context);
  std::lock_guard<std::mutex> lock(a.mutex);
  Decide(a, HttpFailure::kSetup);  // every path above has decided; this is a net
  a.done = true;
  a.changed.notify_all();
}

// ---- the watchdog (the caller's thread) -------------------------------------------
// Closing them makes the blocked WinINet call return. Not under the lock:
// WinINet may report the closing through the status callback on this thread.
void CloseFromWatchdog(Attempt& a, std::unique_lock<std::mutex>& lock) {
  a.watchdogClosing = true;
  const HINTERNET request = std::exchange(a.handle, nullptr);
  const HINTERNET connection = std::exchange(a.connection, nullptr);
  lock.unlock();
  if (request != nullptr) ::InternetCloseHandle(request);
  if (connection != nullptr) ::InternetCloseHandle(connection);
  lock.lock();
  a.watchdogClosing = false;
  a.watchdogClosed = true;
  a.changed.notify_all();
}

void Watch(Attempt& a, std::unique_lock<std::mutex>& lock) {
  while (!a.done) {
    if (!a.decided) {
      const HttpFailure crossed = CrossedBound(a, Clock::now());
      if (crossed != HttpFailure::kNone) Decide(a, crossed);
    }
    if (a.decided) {
      // A WinINet thread between calls stops by itself at its next step; one
      // in a call returns once its handles are closed, except under Wine,
      // where waiting for it would only cost time.
      bool closed = false;
      if (a.inCall && !a.watchdogClosed) {
        CloseFromWatchdog(a, lock);
        closed = true;
      }
      if (!closed || ClosingEndsCalls()) a.changed.wait_for(lock, kJoinGrace, [&] { return a.done; });
      return;
    }
    a.changed.wait_for(lock, kTick);
  }
}

}  // namespace

HttpAttemptResult PerformHttpAttempt(const HttpAttemptRequest& request) {
  HttpAttemptResult result;
  if (request.cancelled && request.cancelled()) {
    result.failure = HttpFailure::kCancelled;
    return result;
  }
  const auto attempt = std::make_shared<Attempt>(request);
  Register(attempt);
  std::thread worker;
  try {
    worker = std::thread(RunWorker, attempt);
  } catch (const std::system_error&) {
    Unregister(attempt->context);
    return result;
  }

  bool finished = false;
  bool outOfMemory = false;
  {
    std::unique_lock<std::mutex> lock(attempt->mutex);
    Watch(*attempt, lock);
    finished = attempt->done;
    outOfMemory = attempt->outOfMemory;
    result.failure = attempt->failure;
    result.status = attempt->status;
    if (result.failure == HttpFailure::kNone) result.body = std::move(attempt->body);
    // The caller's check (and what it holds) goes with the call, not with a
    // WinINet thread that finishes later.
    attempt->request.cancelled = nullptr;
  }
  // A thread still inside WinINet (only Wine keeps one there) finishes on its
  // own; it holds its own share of the attempt.
  if (finished) {
    worker.join();
  } else {
    worker.detach();
  }
  if (outOfMemory) throw std::bad_alloc();
  return result;
}

#endif  // _WIN32
