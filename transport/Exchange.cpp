// CHttpCmd::Execute and PostOnce: one POST per attempt, failing over through
// the account-server list with a rising connect time-out.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "platform/AppName.h"
#include "platform/WinInet.h"
#include "protection/BodyCodec.h"
#include "transport/HttpCmd.h"

namespace {

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
static_assert(kRequestFlags == 0x84000000u, "request flags on the wire");
// An "https" entry: the same request over TLS, verified by the HTTP layer.
constexpr DWORD kSecureRequestFlags = kRequestFlags | INTERNET_FLAG_SECURE;

constexpr char kExtraHeaders[] = "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n";
constexpr DWORD kExtraHeadersLength = 62;
static_assert(sizeof(kExtraHeaders) - 1 == kExtraHeadersLength, "header text length");

constexpr DWORD kStatusQuery = HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER;
static_assert(kStatusQuery == 0x20000013u, "status query level");

constexpr DWORD kReadChunk = 8192;

constexpr int kConnectTimeoutStepMs = 500;
constexpr int kRaiseConnectTimeoutUpToMs = 2000;

constexpr int kDefaultTransferTimeoutMs = 30000;
constexpr int kDefaultStallTimeoutMs = 10000;
constexpr int kDefaultMaxBodyBytes = 32 * 1024 * 1024;
constexpr int kDefaultOperationTimeoutMs = 120000;

void SetTimeout(HINTERNET handle, DWORD option, int milliseconds) {
  DWORD value = static_cast<DWORD>(milliseconds);
  InternetSetOptionA(handle, option, &value, sizeof value);
}

#if defined(_WIN32)
// The body length that the reply's headers announce; false when there is no
// such header (chunked or close-delimited bodies) or it is not a number.
bool AnnouncedBodyLength(HINTERNET request, unsigned long long& length) {
  char text[32] = {};
  DWORD size = sizeof(text) - 1;
  if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr) || size == 0 ||
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
#endif

}  // namespace

int MaxReplyBodyBytes() {
  return GlobalCache::Instance().GetConfigInt("GC_HTTP_MAX_BODY", kDefaultMaxBodyBytes);
}

int CHttpCmd::Execute(int useKeyedCipher) {
  // An empty server list leaves nothing to contact.
  if (host.empty()) return RESULT_TRANSPORT_FAILURE;

  // The cycle ends when the starting server comes back. It is compared by
  // host, port and scheme, so entries that share a host are each tried; and
  // the number of attempts is capped by the list size taken now, so a list
  // replaced during the cycle (perhaps without the starting server) cannot
  // keep it going.
  const int maxAttempts = std::max(1, CLoginServers::Instance().GetServerCount());
  // However many servers fail and however slowly, the operation as a whole
  // ends by its deadline: each attempt gets at most the time that is left.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(GlobalCache::Instance().GetConfigInt(
                         "GC_OPERATION_TIMEOUT_MS", kDefaultOperationTimeoutMs));
  int result = RESULT_TRANSPORT_FAILURE;
  for (int attempt = 1;; ++attempt) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return RESULT_TRANSPORT_FAILURE;
    try {
      result = PostOnce(useKeyedCipher, static_cast<int>(left));
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      // A fault inside one attempt costs that attempt, not the whole call.
      result = RESULT_TRANSPORT_FAILURE;
    }
    if (result == 0) return 0;

    // Moving on even after the last attempt leaves the shared position back
    // at the starting server when the whole cycle failed.
    CLoginServers::Instance().GetNextServer(host, port, secure);
    if (host.empty()) return result;
    if (host == firstHost && port == firstPort && secure == firstSecure) return result;
    if (attempt >= maxAttempts) return result;
    if (connectTimeout <= kRaiseConnectTimeoutUpToMs) connectTimeout += kConnectTimeoutStepMs;
  }
}

int CHttpCmd::PostOnce(int useKeyedCipher, int budgetMs) {
  reply.clear();

  const std::string agent = GetApplicationName();
  InternetHandle internet(
      InternetOpenA(agent.empty() ? nullptr : agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!internet) return RESULT_TRANSPORT_FAILURE;

  // The connect time-out alone would let a server that accepts and then goes
  // quiet hold the caller for ever: the transfer as a whole and any stall in
  // it are bounded as well, read afresh so a changed setting applies at once.
  // (WinINet itself applies both options to each receive.)
  const GlobalCache& cache = GlobalCache::Instance();
  const int transferMs =
      std::min(budgetMs, cache.GetConfigInt("GC_HTTP_TIMEOUT_MS", kDefaultTransferTimeoutMs));
  const int stallMs = std::min(budgetMs, cache.GetConfigInt("GC_HTTP_STALL_MS", kDefaultStallTimeoutMs));
  SetTimeout(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, std::min(budgetMs, connectTimeout));
  SetTimeout(internet.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, transferMs);
  SetTimeout(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, stallMs);
  // The body bound: checked in the read loop below everywhere; the curl layer
  // also enforces it while receiving, so memory stays bounded on the way.
  const std::size_t maxBody = static_cast<std::size_t>(MaxReplyBodyBytes());
#if !defined(_WIN32)
  {
    DWORD bound = static_cast<DWORD>(maxBody);
    InternetSetOptionA(internet.get(), INTERNET_OPTION_MAX_RESPONSE_BODY, &bound, sizeof bound);
  }
  // The application's own CA bundle replaces the system trust store. Unlike
  // the bounds above, a bundle that cannot be handed on must not be ignored:
  // the attempt fails rather than trust what the application did not.
  // (WinINet verifies against the Windows store; the setting has no effect.)
  if (secure) {
    std::string caBundle;
    cache.GetConfigItem("GC_CA_BUNDLE", caBundle);
    if (!caBundle.empty() && !InternetSetOptionA(internet.get(), INTERNET_OPTION_CA_BUNDLE, &caBundle[0],
                                                 static_cast<DWORD>(caBundle.size()))) {
      return RESULT_TRANSPORT_FAILURE;
    }
  }
#endif

#if defined(_WIN32)
  // WinINet bounds each send and receive, not the transfer as a whole: the
  // read loop below keeps the transfer's deadline itself.
  SetTimeout(internet.get(), INTERNET_OPTION_SEND_TIMEOUT, stallMs);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(transferMs);
#endif

  // "https" entries without a port carry the default one already.
  static_assert(INTERNET_DEFAULT_HTTPS_PORT == 443, "https default port");
  InternetHandle connection(InternetConnectA(internet.get(), host.c_str(),
                                             static_cast<INTERNET_PORT>(port & 0xFFFF), nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return RESULT_TRANSPORT_FAILURE;

  InternetHandle request(HttpOpenRequestA(connection.get(), "POST", script.c_str(), nullptr, nullptr, nullptr,
                                          secure ? kSecureRequestFlags : kRequestFlags, 0));
  if (!request) return RESULT_TRANSPORT_FAILURE;
#if defined(_WIN32)
  // Set on the request itself as well: not every WinINet (Wine's, for one)
  // hands the internet handle's time-outs down to the wait for the answer.
  SetTimeout(request.get(), INTERNET_OPTION_SEND_TIMEOUT, stallMs);
  SetTimeout(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, stallMs);
#endif

  // Built and encoded for every attempt: each one draws its own key letter.
  std::string body = EncodeBody(BuildForm(), useKeyedCipher == 1 ? 2 : 1);
  if (!HttpSendRequestA(request.get(), kExtraHeaders, kExtraHeadersLength, body.empty() ? nullptr : &body[0],
                        static_cast<DWORD>(body.size()))) {
    return RESULT_TRANSPORT_FAILURE;
  }

  DWORD status = 0;
  DWORD statusLength = sizeof status;
  if (!HttpQueryInfoA(request.get(), kStatusQuery, &status, &statusLength, nullptr) || status != 200) {
    return RESULT_TRANSPORT_FAILURE;
  }

#if defined(_WIN32)
  // WinINet reads a connection closed part-way through an announced body as
  // its clean end: the length is compared after the loop.
  unsigned long long announced = 0;
  const bool lengthAnnounced = AnnouncedBodyLength(request.get(), announced);
  if (lengthAnnounced && announced > maxBody) return RESULT_TRANSPORT_FAILURE;
#endif
  char buffer[kReadChunk];
  for (;;) {
    DWORD got = 0;
    // A body that breaks off (reset, cut short, stalled, over the bound) is
    // not a reply: parsing the part that arrived could act on half a
    // catalogue. The attempt fails and the next server is asked instead.
    DWORD toRead = kReadChunk;
#if defined(_WIN32)
    // A synchronous read waits until the whole chunk is there; asking first
    // what has arrived lets a server that trickles meet the deadline above.
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request.get(), &available, 0, 0)) {
      reply.clear();
      return RESULT_TRANSPORT_FAILURE;
    }
    if (available == 0) break;  // the end of the body
    if (available < toRead) toRead = available;
#endif
    if (!InternetReadFile(request.get(), buffer, toRead, &got)) {
      reply.clear();
      return RESULT_TRANSPORT_FAILURE;
    }
    if (got == 0) break;
    if (got > kReadChunk || reply.size() + got > maxBody) {
      reply.clear();
      return RESULT_TRANSPORT_FAILURE;
    }
    reply.append(buffer, got);
#if defined(_WIN32)
    if (GetTickCount64() > deadline) {
      reply.clear();
      return RESULT_TRANSPORT_FAILURE;
    }
#endif
  }
#if defined(_WIN32)
  if (lengthAnnounced && reply.size() != announced) {
    reply.clear();
    return RESULT_TRANSPORT_FAILURE;
  }
#endif
  return ParseReply();
}
