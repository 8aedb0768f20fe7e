// CHttpCmd::Execute and PostOnce: one POST per attempt, failing over through
// the account-server list with a rising connect time-out.
#include <algorithm>
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

constexpr char kExtraHeaders[] =
    "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n";
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

void SetTimeout(HINTERNET handle, DWORD option, int milliseconds) {
  DWORD value = static_cast<DWORD>(milliseconds);
  InternetSetOptionA(handle, option, &value, sizeof value);
}

}  // namespace

int CHttpCmd::Execute(int useKeyedCipher) {
  // An empty server list leaves nothing to contact.
  if (host.empty()) return RESULT_TRANSPORT_FAILURE;

  // The cycle ends when the starting server comes back. It is compared by host
  // and port, so entries that share a host are each tried; and the number of
  // attempts is capped by the list size taken now, so a list replaced during
  // the cycle (perhaps without the starting server) cannot keep it going.
  const int maxAttempts = std::max(1, CLoginServers::Instance().GetServerCount());
  int result = RESULT_TRANSPORT_FAILURE;
  for (int attempt = 1;; ++attempt) {
    try {
      result = PostOnce(useKeyedCipher);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      // A fault inside one attempt costs that attempt, not the whole call.
      result = RESULT_TRANSPORT_FAILURE;
    }
    if (result == 0) return 0;

    // Moving on even after the last attempt leaves the shared position back
    // at the starting server when the whole cycle failed.
    CLoginServers::Instance().GetNextServer(host, port);
    if (host.empty()) return result;
    if (host == firstHost && port == firstPort) return result;
    if (attempt >= maxAttempts) return result;
    if (connectTimeout <= kRaiseConnectTimeoutUpToMs) connectTimeout += kConnectTimeoutStepMs;
  }
}

int CHttpCmd::PostOnce(int useKeyedCipher) {
  reply.clear();

  const std::string agent = GetApplicationName();
  InternetHandle internet(InternetOpenA(agent.empty() ? nullptr : agent.c_str(),
                                        INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!internet) return RESULT_TRANSPORT_FAILURE;

  // The connect time-out alone would let a server that accepts and then goes
  // quiet hold the caller for ever: the transfer as a whole and any stall in
  // it are bounded as well, read afresh so a changed setting applies at once.
  // (WinINet itself applies both options to each receive.)
  SetTimeout(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, connectTimeout);
  const GlobalCache& cache = GlobalCache::Instance();
  SetTimeout(internet.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT,
             cache.GetConfigInt("GC_HTTP_TIMEOUT_MS", kDefaultTransferTimeoutMs));
  SetTimeout(internet.get(), INTERNET_OPTION_RECEIVE_TIMEOUT,
             cache.GetConfigInt("GC_HTTP_STALL_MS", kDefaultStallTimeoutMs));
  // The body bound: checked in the read loop below everywhere; the curl layer
  // also enforces it while receiving, so memory stays bounded on the way.
  const std::size_t maxBody =
      static_cast<std::size_t>(cache.GetConfigInt("GC_HTTP_MAX_BODY", kDefaultMaxBodyBytes));
#if !defined(_WIN32)
  {
    DWORD bound = static_cast<DWORD>(maxBody);
    InternetSetOptionA(internet.get(), INTERNET_OPTION_MAX_RESPONSE_BODY, &bound, sizeof bound);
  }
#endif

  InternetHandle connection(InternetConnectA(internet.get(), host.c_str(),
                                             static_cast<INTERNET_PORT>(port & 0xFFFF), nullptr,
                                             nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return RESULT_TRANSPORT_FAILURE;

  InternetHandle request(HttpOpenRequestA(connection.get(), "POST", script.c_str(), nullptr,
                                          nullptr, nullptr, kRequestFlags, 0));
  if (!request) return RESULT_TRANSPORT_FAILURE;

  // Built and encoded for every attempt: each one draws its own key letter.
  std::string body = EncodeBody(BuildForm(), useKeyedCipher == 1 ? 2 : 1);
  if (!HttpSendRequestA(request.get(), kExtraHeaders, kExtraHeadersLength,
                        body.empty() ? nullptr : &body[0], static_cast<DWORD>(body.size()))) {
    return RESULT_TRANSPORT_FAILURE;
  }

  DWORD status = 0;
  DWORD statusLength = sizeof status;
  if (!HttpQueryInfoA(request.get(), kStatusQuery, &status, &statusLength, nullptr) ||
      status != 200) {
    return RESULT_TRANSPORT_FAILURE;
  }

  char buffer[kReadChunk];
  for (;;) {
    DWORD got = 0;
    // A body that breaks off (reset, cut short, stalled, over the bound) is
    // not a reply: parsing the part that arrived could act on half a
    // catalogue. The attempt fails and the next server is asked instead.
    if (!InternetReadFile(request.get(), buffer, kReadChunk, &got)) {
      reply.clear();
      return RESULT_TRANSPORT_FAILURE;
    }
    if (got == 0) break;
    if (got > kReadChunk || reply.size() + got > maxBody) {
      reply.clear();
      return RESULT_TRANSPORT_FAILURE;
    }
    reply.append(buffer, got);
  }
  return ParseReply();
}
